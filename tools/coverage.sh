#!/usr/bin/env bash
# Runs the test suite against a build with gcov instrumentation, in its own
# virtual environment (.venv-coverage) and build directory (build/coverage),
# then prints line and branch coverage per source of modules/security.
# Arguments go to pytest; its exit status is the script's.
set -euo pipefail
cd "$(dirname "$0")/.."

CPROTECTION_VENV=.venv-coverage \
CPROTECTION_PIP_ARGS="--config-settings=cmake.define.CPROTECTION_COVERAGE=ON --config-settings=build-dir=build/coverage" \
    tools/bootstrap.sh
.venv-coverage/bin/python -m pip install --quiet "gcovr>=8"

# Counts from earlier runs would add up with this one's.
find build/coverage -name '*.gcda' -delete
status=0
CPROTECTION_COVERAGE=1 .venv-coverage/bin/python -m pytest -q -p no:cacheprovider "$@" || status=$?
# The kernel program too, which runs every kernel this CPU has where the
# module runs only the fastest.
g++ -std=c++20 -O0 -DNDEBUG -fno-exceptions -fno-rtti --coverage -I modules/security tests/kernel_test.cpp modules/security/kernels_*.cpp \
    -o build/coverage/kernel_test
build/coverage/kernel_test --quick >/dev/null || status=$?
for metric in line branch; do
    .venv-coverage/bin/gcovr --root . --filter 'modules/security/' --txt-metric "$metric" build/coverage
done
exit $status
