#!/usr/bin/env bash
# Builds an sdist and a wheel into OUT_DIR (default dist/), repairs the
# wheel with auditwheel into a manylinux one (tagged with the policy that
# auditwheel reports for it) and removes the unrepaired file.  Further
# arguments go to `python -m build`; $BUILD_PYTHON runs the tools (default
# .venv/bin/python).
#
#     tools/build-wheel.sh [OUT_DIR [BUILD_ARGS...]]
set -euo pipefail
cd "$(dirname "$0")/.."

python=${BUILD_PYTHON:-.venv/bin/python}
out=${1:-dist}
shift $(($# > 0 ? 1 : 0))

"$python" -m build --outdir "$out" "$@" .
for wheel in "$out"/*-linux_*.whl; do
    # The extension links only libc, so the repair only retags the wheel and
    # needs no ELF patcher; a library that had to be grafted in fails here.
    "$python" -m auditwheel repair --patcher none --wheel-dir "$out" "$wheel"
    rm "$wheel"
done
"$python" -m auditwheel show "$out"/*-manylinux*.whl
