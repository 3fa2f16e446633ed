#!/usr/bin/env bash
# Builds the win_amd64 wheel into OUT_DIR as a Windows user would, with
# `python -m pip wheel .` in python.org's CPython 3.13 under wine: pip runs
# scikit-build-core, which runs CMake and Ninja (their PyPI packages' Windows
# wheels) with MSVC from the environment a Developer Command Prompt gives
# (tools/windows-toolchain.sh).  Prints the wheel's path.
# $BUILD_PYTHON fetches the build requirements (default .venv/bin/python).
#
#     tools/build-windows-wheel.sh OUT_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/debian.sh
. tools/debian.sh

out=${1:?usage: tools/build-windows-wheel.sh OUT_DIR}
host_python=${BUILD_PYTHON:-.venv/bin/python}
env_file=$(tools/windows-toolchain.sh)
# shellcheck source=/dev/null
. "$env_file"
windows_python=$(dirname "$env_file")/wine-python
winpath() { echo "Z:$(realpath -ms "$1" | sed 's|/|\\|g')"; }

# The build requirements as Windows wheels, fetched by the host's pip so that
# pip under wine installs them into its isolated environment offline.
requirements=$CPROTECTION_CACHE/downloads/windows/build
"$host_python" -m pip download --quiet --disable-pip-version-check --platform win_amd64 \
    --python-version 3.13 --implementation cp --only-binary :all: -d "$requirements" \
    "scikit-build-core>=0.10" "cmake>=3.21" "ninja>=1.11" 2>&1 | grep -v '^WARNING: Location' >&2 || true

rm -rf "$out"/*-win_amd64.whl
mkdir -p "$out"
CMAKE_GENERATOR=Ninja "$windows_python" -m pip wheel --quiet --disable-pip-version-check --no-deps \
    --no-index --find-links "$(winpath "$requirements")" \
    --config-settings=build-dir=build/windows/cmake --wheel-dir "$(winpath "$out")" . >&2
ls "$out"/*-cp313-win_amd64.whl
