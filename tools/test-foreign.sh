#!/usr/bin/env bash
# Runs the test suite (or the given pytest arguments) under qemu-user, in
# Debian's own Python 3.13 for another CPU, against the wheel cross-built
# for it.  The compiled helpers of the suite are built with that CPU's cross
# compilers, and the host's interpreter is the peer of the cross-CPU check.
#
#     tools/test-foreign.sh ARCH [PYTEST_ARGS...]      ARCH: arm64 or s390x
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:?usage: tools/test-foreign.sh arm64|s390x [PYTEST_ARGS...]}
shift
# shellcheck source=tools/debian.sh
. tools/debian.sh
triple=$(debian_triple "$arch")
host_python=${BUILD_PYTHON:-.venv/bin/python}

interpreter=$(tools/foreign-sysroot.sh "$arch")
out=build/foreign-$arch
rm -rf "$out/dist" "$out/venv"
wheel=$(tools/build-foreign-wheel.sh "$arch" "$out/dist")
# A venv of the emulated interpreter, its site-packages the --target tree
# of the wheel, so that the package is installed as a user's would be.
"$interpreter" -m venv --without-pip "$out/venv"
"$host_python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-deps \
    --target "$out/venv/lib/python3.13/site-packages" --platform "manylinux_2_17_${triple%%-*}" \
    --only-binary :all: "$wheel"

echo "test-foreign: the suite on $arch under qemu"
# CPROTECTION_TRIPLE and CPROTECTION_FOREIGN name the target of the cross
# build that test_kernels.py makes with cmake/foreign-linux.cmake.
CXX=$triple-g++ CC=$triple-gcc CPROTECTION_EMULATED=$arch \
CPROTECTION_TRIPLE=$triple CPROTECTION_FOREIGN=${interpreter%/root/usr/bin/python} \
CPROTECTION_PEER_PYTHON=$(cd "$(dirname "$host_python")" && pwd)/$(basename "$host_python") \
    exec "$out/venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
