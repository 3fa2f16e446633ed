#!/usr/bin/env bash
# Runs the test suite against a build made with clang, in its own virtual
# environment (.venv-clang).  Without clang++ it says so and runs nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang++ >/dev/null 2>&1; then
    echo "test-clang: clang++ not found, so the suite is NOT run against a clang build" \
         "(Debian: apt-get install clang)"
    exit 0
fi

CC=clang CXX=clang++ CPROTECTION_VENV=.venv-clang \
CPROTECTION_PIP_ARGS="--config-settings=build-dir=build/clang" \
    tools/bootstrap.sh

exec .venv-clang/bin/python -m pytest -q -p no:cacheprovider "$@"
