"""Builds native_caller next to a given directory with the running Python.

    python examples/native_caller/build.py OUTPUT_DIR

It needs only g++ and the interpreter's headers; the header of the module
it calls is taken from the source tree.
"""

import pathlib
import subprocess
import sys
import sysconfig

HERE = pathlib.Path(__file__).resolve().parent
HEADER_DIR = HERE.parent.parent / "modules" / "security"


def build(output_dir: pathlib.Path) -> pathlib.Path:
    output_dir.mkdir(parents=True, exist_ok=True)
    suffix: str = sysconfig.get_config_var("EXT_SUFFIX")
    target = output_dir / ("native_caller" + suffix)
    command = [
        "g++", "-std=c++20", "-O2", "-shared", "-fPIC", "-fno-exceptions", "-fno-rtti",
        "-Wall", "-Wextra", "-Werror", "-Wno-missing-field-initializers",
        "-I", sysconfig.get_paths()["include"], "-I", str(HEADER_DIR),
        str(HERE / "native_caller.cpp"), "-o", str(target),
    ]
    subprocess.run(command, check=True)
    return target


if __name__ == "__main__":
    print(build(pathlib.Path(sys.argv[1])))
