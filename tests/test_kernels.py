"""The transform kernels, free of Python, checked by a plain C++ program.

tests/kernel_test.cpp runs every kernel the CPU supports against the
byte-by-byte rules.  It is built here with each compiler present and run
natively, and cross-compiled for AArch64 and for big-endian s390x and run
under qemu-user, and for Windows x86-64 (mingw-w64) and run under wine, when
those tools are installed, and with MSVC when the suite runs on Windows (`.ci/run` installs them; in CI a missing tool is a
failure, not a skip).  The whole extension is also cross-compiled through the
build description, to show it builds and links against libc alone there, and
every module source is compiled for Windows x86-64.  The
AVX2 kernel must run on CPUs without AVX-512, which its object file's
disassembly shows, and must leave no vector register's upper half dirty,
which the built extension's disassembly shows.
"""

import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest
from build import compiler as target_compiler, warnings_as_errors  # examples/native_caller/build.py

from helpers import not_run

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = sorted(str(path) for path in (ROOT / "modules" / "security").glob("kernels_*.cpp"))
SANITIZED = bool(os.environ.get("CPROTECTION_SANITIZED"))
FLAGS = ["-std=c++20", "-O2", "-Wall", "-Wextra", "-Werror", "-I", str(ROOT / "modules" / "security")]

MINGW = "x86_64-w64-mingw32-g++-posix"
# Debian's wine64 package keeps its loader off PATH.
WINE = shutil.which("wine64") or shutil.which("wine") or "/usr/lib/wine/wine64"
WINDOWS = sys.platform == "win32"
# The Linux programs these tests run (cross compilers, objdump, readelf):
# wine starts them but hands back neither their exit nor their output.
on_linux = pytest.mark.skipif(WINDOWS, reason="runs Linux toolchains and binary tools; on Windows the "
                                              "kernel program is built with MSVC instead")

# Toolchain: (compiler, extra flags, emulator or None, arguments of the program).
TOOLCHAINS = {
    "gcc": ("g++", [], None, []),
    "clang": ("clang++", [], None, []),
    "aarch64": ("aarch64-linux-gnu-g++", ["-static"], "qemu-aarch64", ["--quick"]),
    "s390x": ("s390x-linux-gnu-g++", ["-static"], "qemu-s390x", ["--quick"]),
    "windows": (MINGW, ["-static"], WINE, []),
    "msvc": ("cl.exe", [], None, []),
}


def require(*tools):
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        not_run(f"{', '.join(missing)} not installed")


def emulator_environment(emulator, scratch):
    """The environment for running a program under the emulator: wine gets a
    throwaway prefix of its own and keeps its diagnostics to itself."""
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    if emulator == WINE:
        env.update(WINEPREFIX=str(scratch / "wineprefix"), WINEDEBUG="-all")
    return env


# What each kernel needs, in /proc/cpuinfo's words, fastest kernel first.
KERNEL_FLAGS = {"x86_64": [("avx2", {"avx2", "bmi1", "bmi2"}), ("bmi2", {"bmi1", "bmi2"})],
                "aarch64": [("neon", set())], "s390x": []}


def cpu_flags():
    """The flags the kernel reports for this machine's CPU, read independently
    of cpuid.  An emulated interpreter may be shown the emulator's own
    /proc/cpuinfo, so there a program of the host reads it."""
    try:
        if os.environ.get("CPROTECTION_EMULATED"):
            text = subprocess.run(["cat", "/proc/cpuinfo"], capture_output=True, text=True,
                                  check=True).stdout
        else:
            text = pathlib.Path("/proc/cpuinfo").read_text()
    except (OSError, subprocess.CalledProcessError):
        not_run("no /proc/cpuinfo to learn the CPU's features from")
    lines = [line.split(":", 1)[1].split() for line in text.splitlines()
             if line.split(":", 1)[0].strip() in ("flags", "Features")]
    return set(lines[0]) if lines else set()


def kernels_that_run(architecture, flags):
    """The SIMD kernels whose features the CPU has, fastest first, then scalar.

    Every AArch64 CPU has Advanced SIMD, so under qemu the answer needs no flags."""
    return [name for name, needs in KERNEL_FLAGS[architecture] if needs <= flags] + ["scalar"]


@pytest.mark.parametrize("toolchain", sorted(TOOLCHAINS))
def test_kernel_program_passes(toolchain, tmp_path):
    compiler, extra, emulator, arguments = TOOLCHAINS[toolchain]
    if (toolchain == "msvc") != WINDOWS:
        pytest.skip("MSVC builds the program in the suite's run on Windows, the others on Linux")
    if SANITIZED:
        if emulator is not None:
            pytest.skip("cross checks run once, in the regular run")
        extra = [*extra, "-fsanitize=address,undefined", "-fno-sanitize-recover=undefined"]
    require(compiler, *([emulator] if emulator else []))
    program = tmp_path / ("kernel_test.exe" if compiler in (MINGW, "cl.exe") else "kernel_test")
    if toolchain == "msvc":
        subprocess.run([*target_compiler(), *warnings_as_errors("c++"), "/O2", "/EHsc", "/I",
                        str(ROOT / "modules" / "security"), str(ROOT / "tests" / "kernel_test.cpp"),
                        *SOURCES, f"/Fo{tmp_path}{os.sep}", f"/Fe{program}"], check=True)
    else:
        subprocess.run([compiler, *FLAGS, *extra, str(ROOT / "tests" / "kernel_test.cpp"), *SOURCES,
                        "-o", str(program)], check=True)
    env = emulator_environment(emulator, tmp_path)
    try:
        result = subprocess.run([*([emulator] if emulator else []), str(program), *arguments],
                                capture_output=True, text=True, env=env, timeout=900)
    finally:
        if emulator == WINE:  # its server outlives the program otherwise
            subprocess.run([str(pathlib.Path(WINE).with_name("wineserver")), "-k"], env=env)
    print(result.stdout)
    assert result.returncode == 0, result.stdout + result.stderr
    # Wine runs the program on this machine's CPU, qemu emulates another one;
    # the compiler says which CPU that is, also under an emulated interpreter.
    on_this_cpu = emulator in (None, WINE)
    if toolchain == "msvc":
        target = {"AMD64": "x86_64", "ARM64": "aarch64"}[platform.machine()]
    else:
        target = subprocess.run([compiler, "-dumpmachine"], capture_output=True, text=True).stdout
    architecture = target.split("-")[0] if on_this_cpu else toolchain
    expected = kernels_that_run(architecture, cpu_flags() if on_this_cpu else set())
    assert [line.split()[1] for line in result.stdout.splitlines() if line.startswith("passed ")] \
        == expected
    assert f"best kernel here: {expected[0]}" in result.stdout.splitlines()


# Under qemu (tools/test-foreign.sh) the build targets the emulated CPU,
# through the toolchain file and that CPU's Debian headers; on the host it
# targets AArch64 with the host's headers.
FOREIGN_TRIPLE = os.environ.get("CPROTECTION_TRIPLE", "aarch64-linux-gnu")
ELF_MACHINES = {"aarch64-linux-gnu": "AArch64", "s390x-linux-gnu": "IBM S/390"}


@on_linux
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


def gcc_branch_flags():
    """The warning and code generation flags of the build description's GCC
    and Clang branch, so that the Windows compile checks what a build uses."""
    text = (ROOT / "CMakeLists.txt").read_text()
    (options,) = [o for o in re.findall(r"target_compile_options\(cprotection PRIVATE\s+([^)]*)\)", text)
                  if "-Werror" in o]
    standard = re.search(r"CXX_STANDARD (\d+)", text).group(1)
    return [f"-std=c++{standard}", *options.split()]


@on_linux
@pytest.mark.skipif(SANITIZED, reason="cross checks run once, in the regular run")
def test_module_sources_compile_for_windows(tmp_path):
    """Windows is LLP64 and spells compiler and CPU-feature queries its own
    way; every source must compile there without a warning.  Only compiled:
    there is no Windows CPython here to link against.  The headers are
    CPython's own, with its Windows configuration header."""
    require(MINGW)
    source = os.environ.get("CPROTECTION_CPYTHON_SOURCE")
    if source is None:
        fetched = subprocess.run([str(ROOT / "tools" / "cpython-source.sh")], capture_output=True, text=True)
        if fetched.returncode != 0:
            not_run(f"the CPython source could not be fetched: {fetched.stderr.strip()}")
        source = fetched.stdout.strip()
    source = pathlib.Path(source)
    (tmp_path / "pyconfig.h").write_bytes((source / "PC" / "pyconfig.h.in").read_bytes())
    for unit in sorted((ROOT / "modules" / "security").glob("*.cpp")):
        subprocess.run([MINGW, *gcc_branch_flags(), "-I", str(tmp_path), "-I", str(source / "Include"),
                        "-c", str(unit), "-o", str(tmp_path / (unit.stem + ".o"))], check=True)


# Registers and mnemonics that only AVX-512 (EVEX) code uses, in objdump's
# AT&T syntax: 512-bit and upper-16 vector registers, mask registers.
AVX512_MARKS = re.compile(r"%zmm\d|%[xy]mm(?:1[6-9]|2\d|3[01])\b|%k[0-7]\b|\{%k[0-7]\}|\bk(?:mov|and|or)[bwdq]\b")


@on_linux
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


# Leaving code that used a 256-bit register with the registers' upper halves
# dirty makes every SSE instruction run afterwards slow on CPUs that track
# their state (Intel since Haswell, AMD Zen 3).  Every function that uses a
# ymm register must clear them (vzeroupper, vzeroall) on each path to a
# ret, a call or a jump out of it: the paths are followed from its entry
# through its branches.  The functions are the unwind table's, which a
# stripped extension keeps; the listing is objdump's (llvm-objdump's for a
# .pyd), in AT&T syntax.
LISTED = re.compile(r"^\s*([0-9a-f]+):\s+(\S.*)$")
HEADER = re.compile(r"^([0-9a-f]+) <(.+)>:$")
PREFIXES = {"bnd", "notrack", "rep", "repz", "repe", "repnz", "repne", "lock", "ds", "cs", "data16"}
WIDE = re.compile(r"%[yz]mm\d")
CLEARS = {"vzeroupper", "vzeroall"}
RETURNS = {"ret", "retq", "retl"}
JUMPS = {"jmp", "jmpq"}
CALLS = {"call", "callq"}
STOPS = {"ud2", "hlt", "int3"}


def disassembler(library):
    return "llvm-objdump" if library.suffix == ".pyd" else "objdump"


def listing_of(library):
    """The instructions by address, as (mnemonic, operands, line), and the
    names of the symbols the listing shows."""
    text = subprocess.run([disassembler(library), "-d", "--no-show-raw-insn", str(library)],
                          capture_output=True, text=True, check=True).stdout
    instructions, names = {}, {}
    for line in text.splitlines():
        if header := HEADER.match(line):
            names[int(header.group(1), 16)] = header.group(2)
        elif listed := LISTED.match(line):
            words = listed.group(2).split("#")[0].split()
            while len(words) > 1 and words[0] in PREFIXES:
                words.pop(0)
            if words:
                instructions[int(listed.group(1), 16)] = (words[0], " ".join(words[1:]), line.strip())
    return instructions, names


def function_ranges(library):
    """(start, end) of every function the unwind table lists, as addresses
    of the listing."""
    tool = disassembler(library)
    if tool == "objdump":
        frames = subprocess.run([tool, "--dwarf=frames", str(library)], capture_output=True, text=True,
                                check=True).stdout
        ranges = re.findall(r"\bFDE\b.*\bpc=([0-9a-f]+)\.\.([0-9a-f]+)", frames)
        return [(int(start, 16), int(end, 16)) for start, end in ranges]
    # A PE file's table (.pdata) holds offsets from the image's base.
    headers = subprocess.run([tool, "-p", str(library)], capture_output=True, text=True, check=True).stdout
    base = int(re.search(r"^ImageBase\s+([0-9a-fA-F]+)", headers, re.M).group(1), 16)
    table = subprocess.run([tool, "--unwind-info", str(library)], capture_output=True, text=True,
                           check=True).stdout
    ranges = re.findall(r"Start Address: (0x[0-9a-f]+)\s+End Address: (0x[0-9a-f]+)", table)
    return [(base + int(start, 16), base + int(end, 16)) for start, end in ranges]


def target_of(operands):
    """A direct branch's target address, None for an indirect one."""
    first = operands.split()[0] if operands else "*"
    return None if first.startswith("*") else int(first, 16)


def dirty_exits(instructions, start, end):
    """The exits of the function at [start, end) that a path from its entry
    reaches after a ymm instruction, with no clear since."""
    addresses = sorted(address for address in instructions if start <= address < end)
    following = dict(zip(addresses, addresses[1:]))
    dirty_before: dict[int, bool] = {}
    exits = []
    pending = [(start, False)]
    while pending:
        address, dirty = pending.pop()
        if address not in instructions or (address in dirty_before and dirty_before[address] >= dirty):
            continue
        dirty_before[address] = dirty
        mnemonic, operands, line = instructions[address]
        successors = []
        if mnemonic.startswith(("j", "loop")):
            target = target_of(operands)
            if target is not None and start <= target < end:
                successors.append(target)
            elif dirty:
                exits.append(line)
        elif dirty and mnemonic in RETURNS | CALLS:
            exits.append(line)
        if mnemonic not in RETURNS | JUMPS | STOPS and address in following:
            successors.append(following[address])
        after = False if mnemonic in CLEARS else dirty or bool(WIDE.search(operands))
        pending += [(successor, after) for successor in successors]
    return exits


def dirty_exits_of(library):
    """Each function of the library that uses a ymm register, with the exits
    it may reach with their upper halves dirty."""
    require(disassembler(library))
    instructions, names = listing_of(library)
    functions = function_ranges(library)
    wide = [address for address, (_, operands, _) in instructions.items() if WIDE.search(operands)]
    assert wide, "no ymm instruction: the AVX2 kernel is not in the build"
    outside = [address for address in wide if not any(start <= address < end for start, end in functions)]
    assert [f"{address:x}" for address in outside] == [], "ymm code outside the unwind table's functions"
    users = [(start, end) for start, end in functions if any(start <= address < end for address in wide)]
    if any(start not in names for start, _ in users) and library.suffix == ".so" and shutil.which("readelf"):
        # A stripped extension: its unstripped twin in the build tree (same
        # build ID) names the functions.
        twins = [path for path in (ROOT / "build").glob("*/cprotection*.so")
                 if build_id(path) == build_id(library)]
        names = listing_of(twins[0])[1] if twins else names
    return {names.get(start, f"function at {start:x}"): dirty_exits(instructions, start, end)
            for start, end in users}


@on_linux
@pytest.mark.skipif(platform.machine().lower() not in ("x86_64", "amd64"), reason="x86-64 builds only")
def test_extension_clears_upper_halves_at_every_exit_of_ymm_code():
    """The installed extension of the environment the suite runs in: each of
    the regular (GCC, link-time optimised), clang, sanitizer, free-threaded
    and newer-Python builds; or the one CPROTECTION_EXTENSION names, which
    tools/test-windows.sh sets to the MSVC build's .pyd."""
    from kovrin.modules.security import cprotection
    library = pathlib.Path(os.environ.get("CPROTECTION_EXTENSION") or cprotection.__file__)
    exits = dirty_exits_of(library)
    assert {name: lines for name, lines in exits.items() if lines} == {}, library


@on_linux
@pytest.mark.skipif(SANITIZED, reason="cross checks run once, in the regular run")
def test_windows_dll_clears_upper_halves_at_every_exit_of_ymm_code(tmp_path):
    """The kernels in a DLL built by mingw-w64's GCC with link-time
    optimisation, which loses its vzeroupper as Linux's GCC does, read from
    the PE unwind table as a .pyd would be."""
    require(MINGW)
    exporter = tmp_path / "exporter.cpp"
    exporter.write_text('#include "kernels.h"\n'
                        'extern "C" __declspec(dllexport) const void *kernels()\n'
                        '{ return cprotection::built_kernels().data(); }\n')
    library = tmp_path / "kernels.pyd"
    subprocess.run([MINGW, *FLAGS, "-O3", "-flto", "-shared", "-static", str(exporter), *SOURCES,
                    "-o", str(library)], check=True)
    exits = dirty_exits_of(library)
    assert {name: lines for name, lines in exits.items() if lines} == {}


def symbols(library):
    """The symbol table's values by name, with GCC's local-copy suffixes dropped."""
    listing = subprocess.run(["readelf", "-sW", str(library)], capture_output=True, text=True,
                             check=True).stdout
    return {fields[7].split(".")[0]: int(fields[1], 16) for fields in map(str.split, listing.splitlines())
            if len(fields) == 8 and fields[1] != "Value"}


def build_id(library):
    notes = subprocess.run(["readelf", "-n", str(library)], capture_output=True, text=True,
                           check=True).stdout
    return re.search(r"Build ID: (\w+)", notes).group(1)


@pytest.mark.skipif(platform.machine().lower() != "x86_64" or sys.platform != "linux",
                    reason="reads an x86-64 Linux build's symbol table")
def test_module_uses_the_fastest_kernel_the_cpu_runs():
    # The installed module is stripped; its unstripped twin in the build
    # tree (same build ID) says where the chosen kernel's pointer lives.
    import ctypes

    from kovrin.modules.security import cprotection
    require("readelf")
    installed = build_id(cprotection.__file__)
    twins = [path for path in (ROOT / "build").glob("*/cprotection*.so") if build_id(path) == installed]
    if not twins:
        not_run(f"no build of {cprotection.__file__} with its symbol table under build/")
    table = symbols(twins[0])
    # Newer compilers mark the internal linkage in the mangled name (L6kernel).
    chosen = next((name for name in table if re.fullmatch(r"_ZN11cprotection12_GLOBAL__N_1L?6kernelE", name)),
                  None)
    if chosen is None:
        not_run("the build's symbol table has no kernel pointer")
    entry = ctypes.cast(ctypes.PyDLL(cprotection.__file__).PyInit_cprotection, ctypes.c_void_p).value
    base = entry - table["PyInit_cprotection"]
    kernel = ctypes.c_void_p.from_address(base + table[chosen]).value
    name = ctypes.c_char_p.from_address(kernel).value.decode()  # Kernel::name comes first
    assert name == kernels_that_run(platform.machine().lower(), cpu_flags())[0]
