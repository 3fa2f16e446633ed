#!/usr/bin/env bash
# Cross-builds the wheel for another CPU into OUT_DIR, against the Python
# of a root of tools/foreign-sysroot.sh, and repairs it with auditwheel into
# a manylinux one, like tools/build-wheel.sh does for the host.
# $BUILD_PYTHON runs the build tools (default .venv/bin/python).
#
#     tools/build-foreign-wheel.sh ROOT OUT_DIR    ROOT: arm64, s390x, arm64-3.14, arm64-3.15
set -euo pipefail
cd "$(dirname "$0")/.."

name=${1:?usage: tools/build-foreign-wheel.sh ROOT OUT_DIR}
out=${2:?usage: tools/build-foreign-wheel.sh ROOT OUT_DIR}
arch=${name%%-*}
python=${BUILD_PYTHON:-.venv/bin/python}
# shellcheck source=tools/debian.sh
. tools/debian.sh
triple=$(debian_triple "$arch")
processor=${triple%%-*}

interpreter=$(tools/foreign-sysroot.sh "$name")
foreign=${interpreter%/root/usr/bin/python}
tag=cp$("$interpreter" -c 'import sys; print("%d%d" % sys.version_info[:2])')
unrepaired=build/foreign-$name/unrepaired
rm -rf "$unrepaired"
mkdir -p "$out"

# _PYTHON_HOST_PLATFORM gives the wheel the target's platform tag.
CPROTECTION_TRIPLE=$triple CPROTECTION_FOREIGN=$foreign _PYTHON_HOST_PLATFORM=linux-$processor \
    "$python" -m pip wheel --quiet --no-build-isolation --no-deps \
    --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/foreign-linux.cmake" \
    --config-settings=cmake.define.CMAKE_POLICY_DEFAULT_CMP0190=NEW \
    --config-settings=build-dir="build/foreign-$name/cmake" \
    --wheel-dir "$unrepaired" .
wheel=$(echo "$unrepaired"/*-linux_"$processor".whl)
# The wheel's interpreter tags come from the interpreter that ran the build
# (the host's 3.13); the extension inside is built for the target's.
if [[ $wheel != *-$tag-$tag-* ]]; then
    "$python" -m wheel tags --remove --python-tag "$tag" --abi-tag "$tag" "$wheel" >/dev/null
    wheel=$(echo "$unrepaired"/*-"$tag"-"$tag"-linux_"$processor".whl)
fi
# As for the host: the extension links only libc, so the repair retags.
"$python" -m auditwheel repair --patcher none --wheel-dir "$out" "$wheel" >&2
rm -rf "$unrepaired"
repaired=$(ls "$out"/*-"$tag"-*manylinux*_"$processor".whl)
"$python" -m auditwheel show "$repaired" >&2
echo "$repaired"
