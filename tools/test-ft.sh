#!/usr/bin/env bash
# Runs the test suite on the free-threaded CPython 3.13 with the GIL off, in
# its own virtual environment (.venv-ft).  The interpreter is built once per
# machine by tools/build-python-ft.sh (PYTHON_FT names another).  Further
# arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$(tools/build-python-ft.sh)
PYTHON=$python CPROTECTION_VENV=.venv-ft tools/bootstrap.sh

export PYTHON_GIL=0
exec .venv-ft/bin/python -m pytest -q -p no:cacheprovider "$@"
