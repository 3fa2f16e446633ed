#!/usr/bin/env bash
# Installs the wheel for another CPU from DIST_DIR into a --target tree of
# Debian's Python 3.13 for that CPU and tries it out under qemu
# (tools/smoke-test.sh), the compiled caller built by the cross compiler.
#
#     tools/smoke-foreign-wheel.sh ARCH DIST_DIR       ARCH: arm64 or s390x
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:?usage: tools/smoke-foreign-wheel.sh arm64|s390x DIST_DIR}
dist=${2:?usage: tools/smoke-foreign-wheel.sh arm64|s390x DIST_DIR}
python=${BUILD_PYTHON:-.venv/bin/python}
# shellcheck source=tools/debian.sh
. tools/debian.sh
triple=$(debian_triple "$arch")
processor=${triple%%-*}

interpreter=$(tools/foreign-sysroot.sh "$arch")
wheel=$(echo "$dist"/*-cp313-*manylinux*_"$processor".whl)
work=build/foreign-$arch/smoke
rm -rf "$work"
"$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-deps \
    --target "$work/site" --platform "manylinux_2_17_$processor" --only-binary :all: "$wheel"

PYTHONPATH=$PWD/$work/site CXX=$triple-g++ tools/smoke-test.sh "$interpreter"
echo "smoke-foreign-wheel: $(basename "$wheel") works under qemu"
