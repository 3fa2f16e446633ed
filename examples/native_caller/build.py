"""Builds native_caller into a given directory with the running Python.

    python examples/native_caller/build.py OUTPUT_DIR

It needs g++ (or $CXX, a cross compiler for an interpreter of another
CPU), the interpreter's headers and the installed kovrin-cprotection
package, whose cprotection.h lies beside its extension module.  The result
is importable once OUTPUT_DIR is on sys.path.  The test suite builds its
other compiled helpers through compiler() and build_shared() as well, so
that one place knows the target's compiler, flags and header folders.
"""

import importlib.util
import os
import pathlib
import shlex
import subprocess
import sys
import sysconfig

HERE = pathlib.Path(__file__).resolve().parent


def cprotection_include_dir() -> pathlib.Path:
    """The directory of the installed cprotection.h, found without importing the module."""
    spec = importlib.util.find_spec("kovrin.modules.security.cprotection")
    if spec is None or spec.origin is None:
        raise RuntimeError("kovrin-cprotection is not installed for " + sys.executable)
    return pathlib.Path(spec.origin).parent


def python_include_dirs() -> list[str]:
    """The interpreter's header directories, as compiler arguments."""
    include = sysconfig.get_paths()["include"]
    arguments = ["-I", include]
    # Debian's pyconfig.h includes <MULTIARCH/python3.13/pyconfig.h> from
    # the directory above; a cross compiler does not search it by itself.
    multiarch = sysconfig.get_config_var("MULTIARCH")
    above = os.path.dirname(include)
    if multiarch and os.path.isdir(os.path.join(above, multiarch)):
        arguments += ["-idirafter", above]
    return arguments


def compiler(language: str = "c++") -> list[str]:
    """The compiler for the running interpreter's target, as a command:
    $CXX (C++) or $CC (C) when set, a cross compiler for an interpreter of
    another CPU for instance, else g++ or gcc."""
    if language == "c++":
        return shlex.split(os.environ.get("CXX", "g++"))
    return shlex.split(os.environ.get("CC", "gcc"))


def build_shared(sources: list[pathlib.Path], target: pathlib.Path, language: str = "c++",
                 flags: tuple[str, ...] = (), libraries: tuple[str, ...] = ()) -> pathlib.Path:
    """Compiles sources into the shared library target, against the running
    interpreter's headers and the installed cprotection.h, warnings as errors."""
    standard = "-std=c++20" if language == "c++" else "-std=c11"
    command = [
        *compiler(language), standard, "-O2", "-shared", "-fPIC",
        "-Wall", "-Wextra", "-Werror", *flags,
        *python_include_dirs(), "-I", str(cprotection_include_dir()),
        *map(str, sources), "-o", str(target), *libraries,
    ]
    subprocess.run(command, check=True)
    return target


def build(output_dir: pathlib.Path) -> pathlib.Path:
    output_dir.mkdir(parents=True, exist_ok=True)
    suffix: str = sysconfig.get_config_var("EXT_SUFFIX")
    return build_shared([HERE / "native_caller.cpp"], output_dir / ("native_caller" + suffix),
                        flags=("-fno-exceptions", "-fno-rtti", "-Wno-missing-field-initializers"))


if __name__ == "__main__":
    print(build(pathlib.Path(sys.argv[1])))
