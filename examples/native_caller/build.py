"""Builds native_caller into a given directory with the running Python.

    python examples/native_caller/build.py OUTPUT_DIR

It needs g++ (or $CXX, a cross compiler for an interpreter of another
CPU), the interpreter's headers and the installed kovrin-cprotection
package, whose cprotection.h lies beside its extension module.  The result
is importable once OUTPUT_DIR is on sys.path.  On Windows it needs MSVC's
cl.exe (or $CXX) with INCLUDE and LIB set, as a Developer Command Prompt
sets them.  The test suite builds its other compiled helpers through
compiler(), build_shared(), preprocess() and check_syntax() as well, so that
one place knows the target's compiler, flags and header folders.
"""

import importlib.util
import os
import pathlib
import shlex
import subprocess
import sys
import sysconfig
import tempfile

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


# python.org's Windows interpreters are built with MSVC, and so is what they load.
MSVC = sys.platform == "win32"

# GCC's spellings that callers pass, as MSVC's: none where MSVC has no such
# warning, or does it by default (no exceptions: no /EHsc given).
MSVC_FLAGS: dict[str, list[str]] = {"-fno-exceptions": ["/D_HAS_EXCEPTIONS=0"], "-fno-rtti": ["/GR-"],
                                    "-Wno-missing-field-initializers": [], "-ldl": []}


def compiler(language: str = "c++") -> list[str]:
    """The compiler for the running interpreter's target, as a command:
    $CXX (C++) or $CC (C) when set, a cross compiler for an interpreter of
    another CPU for instance, else g++ or gcc, or cl.exe on Windows."""
    variable, default = ("CXX", "g++") if language == "c++" else ("CC", "gcc")
    if MSVC:
        return [*shlex.split(os.environ.get(variable, "cl.exe")), "/nologo"]
    return shlex.split(os.environ.get(variable, default))


def warnings_as_errors(language: str) -> list[str]:
    """The language standard and the warnings, all of them errors."""
    if MSVC:
        return ["/std:c++20" if language == "c++" else "/std:c11", "/W4", "/WX"]
    return ["-std=c++20" if language == "c++" else "-std=c11", "-Wall", "-Wextra", "-Werror"]


def msvc_flags(flags: tuple[str, ...]) -> list[str]:
    return [spelling for flag in flags for spelling in MSVC_FLAGS.get(flag, [flag])]


def build_shared(sources: list[pathlib.Path], target: pathlib.Path, language: str = "c++",
                 flags: tuple[str, ...] = (), libraries: tuple[str, ...] = ()) -> pathlib.Path:
    """Compiles sources into the shared library target, against the running
    interpreter's headers and the installed cprotection.h, warnings as errors."""
    includes = [*python_include_dirs(), "-I", str(cprotection_include_dir())]
    if MSVC:
        # The DLL runtime, as the interpreter's; objects beside the target;
        # pythonXY.lib (named by pyconfig.h) from the installation's libs.
        command = [
            *compiler(language), *warnings_as_errors(language), "/O2", "/MD", "/LD",
            *msvc_flags(flags), *includes, *map(str, sources),
            f"/Fo{target.parent}{os.sep}", f"/Fe{target}",
            "/link", f"/LIBPATH:{os.path.join(sys.base_prefix, 'libs')}", *msvc_flags(libraries),
        ]
    else:
        command = [
            *compiler(language), *warnings_as_errors(language), "-O2", "-shared", "-fPIC", *flags,
            *includes, *map(str, sources), "-o", str(target), *libraries,
        ]
    subprocess.run(command, check=True)
    return target


def preprocess(source: str, language: str = "c++") -> str:
    """source as the compiler's preprocessor expands it against the
    interpreter's headers, without line markers."""
    if not MSVC:
        return subprocess.run([*compiler(language), "-E", "-P", "-x", language, *python_include_dirs(), "-"],
                              input=source, capture_output=True, text=True, check=True).stdout
    # cl.exe reads no standard input.
    with tempfile.TemporaryDirectory() as scratch:
        path = pathlib.Path(scratch) / "source"
        path.write_text(source)
        return subprocess.run([*compiler(language), "/EP", "/TP" if language == "c++" else "/TC",
                               *python_include_dirs(), str(path)],
                              capture_output=True, text=True, check=True).stdout


def check_syntax(path: pathlib.Path, language: str = "c") -> None:
    """Compiles path against the interpreter's headers and the installed
    cprotection.h without generating code; a warning fails it."""
    only_syntax = "/Zs" if MSVC else "-fsyntax-only"
    subprocess.run([*compiler(language), *warnings_as_errors(language), only_syntax,
                    *python_include_dirs(), "-I", str(cprotection_include_dir()), str(path)],
                   check=True)


def build(output_dir: pathlib.Path) -> pathlib.Path:
    output_dir.mkdir(parents=True, exist_ok=True)
    suffix: str = sysconfig.get_config_var("EXT_SUFFIX")
    return build_shared([HERE / "native_caller.cpp"], output_dir / ("native_caller" + suffix),
                        flags=("-fno-exceptions", "-fno-rtti", "-Wno-missing-field-initializers"))


if __name__ == "__main__":
    print(build(pathlib.Path(sys.argv[1])))
