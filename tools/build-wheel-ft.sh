#!/usr/bin/env bash
# Builds the repaired cp313t (free-threaded) manylinux wheel into OUT_DIR
# (default dist/) beside what is there, then installs it into a fresh
# free-threaded environment and runs the two-peer demo and a compiled caller
# of the native method table there, with the GIL off and the GIL warning an
# error.
#
#     tools/build-wheel-ft.sh [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

out=${1:-dist}
python=$(tools/build-python-ft.sh)
PYTHON=$python CPROTECTION_VENV=.venv-ft tools/bootstrap.sh

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
BUILD_PYTHON=.venv-ft/bin/python tools/build-wheel.sh "$scratch/dist" --wheel
mkdir -p "$out"
wheel=$(ls "$scratch"/dist/*-cp313t-*manylinux*.whl)
cp "$wheel" "$out/"

"$python" -m venv --without-pip "$scratch/env"
.venv-ft/bin/python -m pip --python "$scratch/env/bin/python" install --quiet --no-deps "$wheel"
cd "$scratch"
export PYTHON_GIL=0
env/bin/python -W error::RuntimeWarning "$root/examples/two_peers.py" --mebibytes 1 | tail -n 1
env/bin/python "$root/examples/native_caller/build.py" caller
env/bin/python -W error::RuntimeWarning - caller <<'PY'
import sys
sys.path.insert(0, sys.argv[1])
import native_caller
from kovrin.modules.security.cprotection import CProtection
assert not sys._is_gil_enabled(), "the GIL was turned on"
sender, receiver = CProtection(), CProtection(True)
native_caller.call("activate", sender, [0x1234, 77])
receiver.activate([0x1234, 77])
assert receiver.decrypt(native_caller.call("encrypt", sender, bytearray(b"hello"))) == b"hello"
print("compiled caller ok")
PY
echo "$out/$(basename "$wheel")"
