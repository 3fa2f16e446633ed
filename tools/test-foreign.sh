#!/usr/bin/env bash
# Runs the test suite (or the given pytest arguments) under qemu-user, in
# one of Debian's own Pythons for another CPU (a root of
# tools/foreign-sysroot.sh), against the wheel cross-built for it.  The compiled helpers of the suite are built with that CPU's cross
# compilers, and the host's interpreter is the peer of the cross-CPU check.
#
#     tools/test-foreign.sh ROOT [PYTEST_ARGS...]   ROOT: arm64, s390x, arm64-3.14, arm64-3.15
set -euo pipefail
cd "$(dirname "$0")/.."

name=${1:?usage: tools/test-foreign.sh ROOT [PYTEST_ARGS...]}
shift
arch=${name%%-*}
# shellcheck source=tools/debian.sh
. tools/debian.sh
triple=$(debian_triple "$arch")
host_python=${BUILD_PYTHON:-.venv/bin/python}

interpreter=$(tools/foreign-sysroot.sh "$name")
version=$("$interpreter" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
out=build/foreign-$name
rm -rf "$out/dist" "$out/venv"
wheel=$(tools/build-foreign-wheel.sh "$name" "$out/dist")
# A venv of the emulated interpreter, its site-packages the --target tree
# of the wheel, so that the package is installed as a user's would be.
"$interpreter" -m venv --without-pip "$out/venv"
"$host_python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-deps \
    --target "$out/venv/lib/python$version/site-packages" --platform "manylinux_2_17_${triple%%-*}" \
    --python-version "$version" --only-binary :all: "$wheel"

echo "test-foreign: the suite on $arch under qemu, Python $version"
# CPROTECTION_TRIPLE and CPROTECTION_FOREIGN name the target of the cross
# build that test_kernels.py makes with cmake/foreign-linux.cmake.
CXX=$triple-g++ CC=$triple-gcc CPROTECTION_EMULATED=$arch \
CPROTECTION_TRIPLE=$triple CPROTECTION_FOREIGN=${interpreter%/root/usr/bin/python} \
CPROTECTION_PEER_PYTHON=$(cd "$(dirname "$host_python")" && pwd)/$(basename "$host_python") \
    exec "$out/venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
