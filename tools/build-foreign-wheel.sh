#!/usr/bin/env bash
# Cross-builds the wheel for another CPU into OUT_DIR, against the Python
# 3.13 of tools/foreign-sysroot.sh, and repairs it with auditwheel into a
# manylinux one, like tools/build-wheel.sh does for the host.  $BUILD_PYTHON
# runs the build tools (default .venv/bin/python).
#
#     tools/build-foreign-wheel.sh ARCH OUT_DIR       ARCH: arm64 or s390x
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:?usage: tools/build-foreign-wheel.sh arm64|s390x OUT_DIR}
out=${2:?usage: tools/build-foreign-wheel.sh arm64|s390x OUT_DIR}
python=${BUILD_PYTHON:-.venv/bin/python}
# shellcheck source=tools/debian.sh
. tools/debian.sh
triple=$(debian_triple "$arch")
processor=${triple%%-*}

interpreter=$(tools/foreign-sysroot.sh "$arch")
foreign=${interpreter%/root/usr/bin/python}
unrepaired=build/foreign-$arch/unrepaired
rm -rf "$unrepaired"
mkdir -p "$out"

# _PYTHON_HOST_PLATFORM gives the wheel the target's platform tag.
CPROTECTION_TRIPLE=$triple CPROTECTION_FOREIGN=$foreign _PYTHON_HOST_PLATFORM=linux-$processor \
    "$python" -m pip wheel --quiet --no-build-isolation --no-deps \
    --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/foreign-linux.cmake" \
    --config-settings=cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW \
    --config-settings=build-dir="build/foreign-$arch/cmake" \
    --wheel-dir "$unrepaired" .
wheel=$(echo "$unrepaired"/*-linux_"$processor".whl)
# As for the host: the extension links only libc, so the repair retags.
"$python" -m auditwheel repair --patcher none --wheel-dir "$out" "$wheel" >&2
rm -rf "$unrepaired"
repaired=$(ls "$out"/*-manylinux*_"$processor".whl)
"$python" -m auditwheel show "$repaired" >&2
echo "$repaired"
