#!/usr/bin/env bash
# Installs the wheel for another CPU from DIST_DIR into a --target tree of
# one of Debian's Pythons for that CPU (a root of tools/foreign-sysroot.sh)
# and tries it out under qemu
# (tools/smoke-test.sh), the compiled caller built by the cross compiler.
#
#     tools/smoke-foreign-wheel.sh ROOT DIST_DIR    ROOT: arm64, s390x, arm64-3.14, arm64-3.15
set -euo pipefail
cd "$(dirname "$0")/.."

name=${1:?usage: tools/smoke-foreign-wheel.sh ROOT DIST_DIR}
dist=${2:?usage: tools/smoke-foreign-wheel.sh ROOT DIST_DIR}
arch=${name%%-*}
python=${BUILD_PYTHON:-.venv/bin/python}
# shellcheck source=tools/debian.sh
. tools/debian.sh
triple=$(debian_triple "$arch")
processor=${triple%%-*}

interpreter=$(tools/foreign-sysroot.sh "$name")
version=$("$interpreter" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
wheel=$(echo "$dist"/*-cp${version/./}-*manylinux*_"$processor".whl)
work=build/foreign-$name/smoke
rm -rf "$work"
"$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-deps \
    --target "$work/site" --platform "manylinux_2_17_$processor" --python-version "$version" \
    --only-binary :all: "$wheel"

PYTHONPATH=$PWD/$work/site CXX=$triple-g++ tools/smoke-test.sh "$interpreter"
echo "smoke-foreign-wheel: $(basename "$wheel") works under qemu"
