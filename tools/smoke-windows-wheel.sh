#!/usr/bin/env bash
# Installs the win_amd64 wheel from DIST_DIR into a --target tree of
# python.org's CPython 3.13 for Windows and tries it out under wine
# (tools/smoke-test.sh), the compiled caller built by MSVC.
#
#     tools/smoke-windows-wheel.sh DIST_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

dist=${1:?usage: tools/smoke-windows-wheel.sh DIST_DIR}
python=${BUILD_PYTHON:-.venv/bin/python}
env_file=$(tools/windows-toolchain.sh)
wheel=$(echo "$dist"/*-cp313-win_amd64.whl)
work=build/windows/smoke
rm -rf "$work"
"$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --no-deps \
    --target "$work/site" --platform win_amd64 --only-binary :all: "$wheel"

# The .pyd loads nothing beyond the C runtime, KERNEL32.dll and python313.dll.
pyd=$(echo "$work"/site/kovrin/modules/security/cprotection*.pyd)
imports=$(llvm-readobj --coff-imports "$pyd" | sed -n 's/^  Name: //p' | sort | paste -sd ' ')
others=$(echo "$imports" | tr ' ' '\n' | grep -v -i -E '^(KERNEL32|VCRUNTIME140|python313|api-ms-win-crt-[a-z]+-l1-1-0)\.dll$' || true)
if [ -n "$others" ]; then
    echo "smoke-windows-wheel: $(basename "$pyd") imports $imports" >&2
    exit 1
fi

PYTHONPATH="Z:$(echo "$PWD/$work/site" | sed 's|/|\\|g')" PYTHONNOUSERSITE=1 \
    tools/smoke-test.sh "$(dirname "$env_file")/wine-python"
echo "smoke-windows-wheel: $(basename "$wheel") works under wine; its .pyd imports $imports"
