#!/usr/bin/env bash
# Installs the wheel for another CPU from DIST_DIR into a --target tree of
# Debian's Python 3.13 for that CPU and, under qemu, runs the two-peer demo
# and a compiled caller of the native method table built against the
# installed header with the cross compiler.
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

# From a directory of its own, so that nothing of the work tree is imported.
root=$PWD
cp examples/two_peers.py "$work/"
cd "$work"
export PYTHONPATH=$PWD/site
"$interpreter" two_peers.py --mebibytes 1 | tee demo.out
[ "$(tail -n 1 demo.out)" = ok ]
CXX=$triple-g++ "$interpreter" "$root/examples/native_caller/build.py" caller >/dev/null
"$interpreter" - caller <<'PY'
import platform, sys
sys.path.insert(0, sys.argv[1])
import native_caller
from kovrin.modules.security.cprotection import CProtection
sender, receiver = CProtection(), CProtection(True)
native_caller.call("activate", sender, [0x1234, 77])
receiver.activate([0x1234, 77])
message = bytearray(b"from a compiled caller")
assert receiver.decrypt(native_caller.call("encrypt", sender, message)) == message
try:
    native_caller.call("activate", sender, (1, 2))
except TypeError:
    pass
else:
    raise AssertionError("the native entry took a tuple as keys")
print(f"compiled caller ok on {platform.machine()}")
PY
echo "smoke-foreign-wheel: $(basename "$wheel") works under qemu"
