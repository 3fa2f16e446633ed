"""The transform kernels, free of Python, checked by a plain C++ program.

tests/kernel_test.cpp runs every kernel the CPU supports against the
byte-by-byte rules.  It is built here with each compiler present and run
natively, and cross-compiled for AArch64 and for big-endian s390x and run
under qemu-user when those tools are installed (`.ci/run` installs them).
The whole extension is also cross-compiled through the build description,
to show it builds and links against libc alone there.  The
AVX2 kernel must run on CPUs without AVX-512, which its object file's
disassembly shows.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = sorted(str(path) for path in (ROOT / "modules" / "security").glob("kernels_*.cpp"))
SANITIZED = bool(os.environ.get("CPROTECTION_SANITIZED"))
FLAGS = ["-std=c++20", "-O2", "-Wall", "-Wextra", "-Werror", "-I", str(ROOT / "modules" / "security")]

# Toolchain: (compiler, extra flags, emulator or None, arguments of the program).
TOOLCHAINS = {
    "gcc": ("g++", [], None, []),
    "clang": ("clang++", [], None, []),
    "aarch64": ("aarch64-linux-gnu-g++", ["-static"], "qemu-aarch64", ["--quick"]),
    "s390x": ("s390x-linux-gnu-g++", ["-static"], "qemu-s390x", ["--quick"]),
}


def require(*tools):
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        pytest.skip(f"not run: {', '.join(missing)} not installed")


@pytest.mark.parametrize("toolchain", sorted(TOOLCHAINS))
def test_kernel_program_passes(toolchain, tmp_path):
    compiler, extra, emulator, arguments = TOOLCHAINS[toolchain]
    if SANITIZED:
        if emulator is not None:
            pytest.skip("cross checks run once, in the regular run")
        extra = [*extra, "-fsanitize=address,undefined", "-fno-sanitize-recover=undefined"]
    require(compiler, *([emulator] if emulator else []))
    program = tmp_path / "kernel_test"
    subprocess.run([compiler, *FLAGS, *extra, str(ROOT / "tests" / "kernel_test.cpp"), *SOURCES,
                    "-o", str(program)], check=True)
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    result = subprocess.run([*([emulator] if emulator else []), str(program), *arguments],
                            capture_output=True, text=True, env=env, timeout=900)
    print(result.stdout)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "passed scalar" in result.stdout


# Under qemu (tools/test-foreign.sh) the build targets the emulated CPU,
# through the toolchain file and that CPU's Debian headers; on the host it
# targets AArch64 with the host's headers.
FOREIGN_TRIPLE = os.environ.get("CPROTECTION_TRIPLE", "aarch64-linux-gnu")
ELF_MACHINES = {"aarch64-linux-gnu": "AArch64", "s390x-linux-gnu": "IBM S/390"}


@pytest.mark.skipif(SANITIZED, reason="cross checks run once, in the regular run")
def test_extension_cross_compiles(tmp_path):
    require(f"{FOREIGN_TRIPLE}-g++", "cmake", "readelf")
    build = tmp_path / "build"
    if os.environ.get("CPROTECTION_FOREIGN"):
        target = [f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake' / 'foreign-linux.cmake'}",
                  "-DCMAKE_POLICY_DEFAULT_CMP0190=NEW"]
    else:
        target = ["-DCMAKE_SYSTEM_NAME=Linux", "-DCMAKE_SYSTEM_PROCESSOR=aarch64",
                  "-DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++", f"-DPython_EXECUTABLE={sys.executable}",
                  f"-DPython_INCLUDE_DIR={sysconfig.get_paths()['include']}"]
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release", *target],
                   check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build)], check=True, capture_output=True)
    (library,) = build.glob("cprotection*.so")
    header = subprocess.run(["readelf", "-h", str(library)], capture_output=True, text=True,
                            check=True).stdout
    assert ELF_MACHINES[FOREIGN_TRIPLE] in header
    dynamic = subprocess.run(["readelf", "-d", str(library)], capture_output=True, text=True,
                             check=True).stdout
    needed = [line.split("[")[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line]
    assert needed == ["libc.so.6"]


# Registers and mnemonics that only AVX-512 (EVEX) code uses, in objdump's
# AT&T syntax: 512-bit and upper-16 vector registers, mask registers.
AVX512_MARKS = re.compile(r"%zmm\d|%[xy]mm(?:1[6-9]|2\d|3[01])\b|%k[0-7]\b|\{%k[0-7]\}|\bk(?:mov|and|or)[bwdq]\b")


@pytest.mark.skipif(SANITIZED, reason="runs once, in the regular run")
@pytest.mark.parametrize("compiler", ["g++", "clang++"])
def test_avx2_kernel_object_has_no_avx512_instruction(compiler, tmp_path):
    require(compiler, "objdump")
    # The host's compilers, also when the suite runs in an emulated interpreter.
    target = subprocess.run([compiler, "-dumpmachine"], capture_output=True, text=True).stdout
    if not target.startswith("x86_64"):
        pytest.skip(f"{compiler} builds for {target.strip()}, not x86-64")
    obj = tmp_path / "kernels_x86_avx2.o"
    subprocess.run([compiler, *FLAGS, "-c", str(ROOT / "modules" / "security" / "kernels_x86_avx2.cpp"),
                    "-o", str(obj)], check=True)
    listing = subprocess.run(["objdump", "-d", "--no-show-raw-insn", str(obj)], capture_output=True,
                             text=True, check=True).stdout
    assert "%ymm" in listing and "vpshufb" in listing  # the kernel itself was compiled
    assert [line for line in listing.splitlines() if AVX512_MARKS.search(line)] == []
