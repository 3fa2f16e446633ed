#!/usr/bin/env bash
# Runs the test suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, in its own virtual environment (.venv-asan).
# The interpreter itself is not instrumented: the sanitizer runtime is
# preloaded and Python's allocator is switched to malloc so that ASan sees
# every allocation.
set -euo pipefail
cd "$(dirname "$0")/.."

CPROTECTION_VENV=.venv-asan \
CPROTECTION_PIP_ARGS="--config-settings=cmake.define.CPROTECTION_SANITIZE=ON --config-settings=build-dir=build/asan" \
    tools/bootstrap.sh

runtime=$(g++ -print-file-name=libasan.so)
export LD_PRELOAD="$runtime"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export CPROTECTION_SANITIZED=1
exec .venv-asan/bin/python -m pytest -q -p no:cacheprovider "$@"
