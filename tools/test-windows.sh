#!/usr/bin/env bash
# Runs the test suite (or the given pytest arguments) in python.org's CPython
# 3.13 for Windows x86-64 under wine, against the wheel that MSVC builds
# through pip (tools/build-windows-wheel.sh).  The package and the test tools
# (Windows wheels from PyPI) go into a fresh folder on the interpreter's
# PYTHONPATH; the compiled helpers of the suite are built with the same
# cl.exe, and the host's interpreter is the peer of the cross-platform check.
#
#     tools/test-windows.sh [PYTEST_ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/common.sh
. tools/common.sh

if ! command -v wine64 >/dev/null && ! command -v wine >/dev/null && [ ! -x /usr/lib/wine/wine64 ]; then
    skip_or_fail test-windows "wine is not installed (Debian: wine64)" "the suite is not run on Windows"
fi
host_python=${BUILD_PYTHON:-.venv/bin/python}
winpath() { echo "Z:$(realpath -ms "$1" | sed 's|/|\\|g')"; }

out=build/windows
rm -rf "$out/dist" "$out/site"
wheel=$(BUILD_PYTHON=$host_python tools/build-windows-wheel.sh "$out/dist")
env_file=$(tools/windows-toolchain.sh)
# shellcheck source=/dev/null
. "$env_file"

# pefile reads the import and export tables of the .pyd.
"$host_python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
    --target "$out/site" --platform win_amd64 --python-version 3.13 --implementation cp \
    --only-binary :all: -r tools/requirements-dev.txt pefile "$wheel" 2>&1 | grep -v '^WARNING: Location' >&2 || true
[ -d "$out/site/kovrin/modules/security" ] || { echo "test-windows: $wheel did not install" >&2; exit 1; }

# The host's side of the cross-platform check: wine starts a Linux program
# but gives back no handle to wait on or pipes to it, so it writes a file.
peer=$(cd "$(dirname "$host_python")" && pwd)/$(basename "$host_python")
(cd tests && "$peer" -c 'import sys, test_cross_cpu; test_cross_cpu.write_results(sys.argv[1])' \
    "$OLDPWD/$out/peer-results.json")

# The .pyd's ymm code, disassembled by llvm-objdump on the host: the one
# check of the suite whose tool wine cannot run for it.
CPROTECTION_EXTENSION=$(echo "$PWD/$out"/site/kovrin/modules/security/cprotection*.pyd) \
    "$peer" -m pytest -q -p no:cacheprovider \
    tests/test_kernels.py::test_extension_clears_upper_halves_at_every_exit_of_ymm_code

echo "test-windows: the suite in CPython $("$(dirname "$env_file")/wine-python" -c 'import platform; print(platform.python_version())') for Windows under wine"
# PYTHONNOUSERSITE keeps the wine prefix's user site out of the environment.
PYTHONPATH=$(winpath "$out/site") PYTHONNOUSERSITE=1 \
CPROTECTION_PEER_RESULTS=$(winpath "$out/peer-results.json") \
    exec "$(dirname "$env_file")/wine-python" -m pytest -q -p no:cacheprovider "$@"
