#!/usr/bin/env bash
# The kernels' throughput as MSVC 19.44 compiles them, run under wine (no
# emulation: the same CPU), beside the same program built by g++, from one
# run of this script; writes bench/msvc.md with --output, else prints it.
#
#     bench/msvc_kernels.sh [--output] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
output=""
[ "${1:-}" = --output ] && { output=bench/msvc.md; shift; }
rounds=${1:-15}

env_file=$(tools/windows-toolchain.sh)
# shellcheck source=/dev/null
. "$env_file"
out=build/bench-msvc
rm -rf "$out"
mkdir -p "$out"
sources=(modules/security/kernels_*.cpp)
gxx=${CXX:-g++}
# The flags of bench/bench.py's build, and MSVC's spelling of them.
"$gxx" -std=c++20 -O2 -I modules/security bench/kernel_bench.cpp "${sources[@]}" -o "$out/kernel_bench"
(cd "$out" && "$WINE" cl.exe /nologo /std:c++20 /O2 /EHsc /I ../../modules/security ../../bench/kernel_bench.cpp \
    "${sources[@]/#/../../}" /Fekernel_bench.exe | cat) >/dev/null
msvc_version=$("$WINE" cl.exe 2>&1 | sed -n 's/.*Compiler Version \([0-9.]*\) for x64.*/\1/p' | tr -d '\r')

gcc_table=$("$out/kernel_bench" "$rounds")
msvc_table=$("$WINE" "$out/kernel_bench.exe" "$rounds" | tr -d '\r')
report=$(cat <<REPORT
# The kernels under MSVC

Machine: $(uname -m), $(cpu=$(sed -n 's/^model name\s*:\s*//p' /proc/cpuinfo | head -n 1)
family=$(sed -n 's/^cpu family\s*:\s*//p' /proc/cpuinfo | head -n 1)
model=$(sed -n 's/^model\s*:\s*//p' /proc/cpuinfo | head -n 1)
echo "$cpu${family:+ (CPU family $family, model $model)}"), $(nproc) cores.
Both programs are bench/kernel_bench.cpp with the kernels, at -O2 and /O2,
run one after the other by \`bench/msvc_kernels.sh --output\`; the Windows
one under wine $("$WINE" --version | sed 's/^wine-//'), which runs it on this CPU.

## $("$gxx" --version | head -n 1)

$gcc_table

## MSVC $msvc_version (x64)

$msvc_table
REPORT
)
if [ -n "$output" ]; then echo "$report" >"$output"; echo "wrote $output"; else echo "$report"; fi
