"""Builds native_caller into a given directory with the running Python.

    python examples/native_caller/build.py OUTPUT_DIR

It needs g++ (or $CXX, a cross compiler for an interpreter of another
CPU), the interpreter's headers and the installed kovrin-cprotection
package, whose cprotection.h lies beside its extension module.  The result
is importable once OUTPUT_DIR is on sys.path.
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


def build(output_dir: pathlib.Path) -> pathlib.Path:
    output_dir.mkdir(parents=True, exist_ok=True)
    suffix: str = sysconfig.get_config_var("EXT_SUFFIX")
    target = output_dir / ("native_caller" + suffix)
    command = [
        *shlex.split(os.environ.get("CXX", "g++")),
        "-std=c++20", "-O2", "-shared", "-fPIC", "-fno-exceptions", "-fno-rtti",
        "-Wall", "-Wextra", "-Werror", "-Wno-missing-field-initializers",
        *python_include_dirs(), "-I", str(cprotection_include_dir()),
        str(HERE / "native_caller.cpp"), "-o", str(target),
    ]
    subprocess.run(command, check=True)
    return target


if __name__ == "__main__":
    print(build(pathlib.Path(sys.argv[1])))
