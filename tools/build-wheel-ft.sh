#!/usr/bin/env bash
# Builds the repaired cp313t (free-threaded) manylinux wheel into OUT_DIR
# (default dist/) beside what is there, then installs it into a fresh
# free-threaded environment and tries it out there (tools/smoke-test.sh),
# with the GIL warning an error: neither the module nor the compiled caller
# built from the template may turn the GIL on.
#
#     tools/build-wheel-ft.sh [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

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
env -u PYTHON_GIL tools/smoke-test.sh "$scratch/env/bin/python" -W error::RuntimeWarning
echo "$out/$(basename "$wheel")"
