#!/usr/bin/env bash
# Makes a virtual environment with a Python 3.13 or newer, installs the
# build and test tools from PyPI, then builds and installs the package into it.
#
#   PYTHON                the Python (3.13 or newer, with the GIL or
#                         free-threaded) to build the environment from;
#                         unset: a 3.13, the release the package is first
#                         made for: python3.13 on PATH, else a
#                         pyenv-installed 3.13, else /usr/bin or /usr/local/bin
#   CPROTECTION_VENV      the environment's directory (default .venv)
#   CPROTECTION_PIP_ARGS  extra arguments for pip's install of the package
#
# Safe to run again: the environment is rebuilt only when its Python is
# older than 3.13 (or not $PYTHON), tools are installed once, the package is
# rebuilt incrementally.
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=tools/common.sh
. tools/common.sh

is_supported_python() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] < (3, 13))' >/dev/null 2>&1
}

# Prints the interpreter to use; fails with one line naming what was tried.
find_python() {
    local hint="install one, or name it: PYTHON=/path/to/python3.13 make test"
    if [ -n "${PYTHON:-}" ]; then
        if is_supported_python "$PYTHON"; then
            echo "$PYTHON"
            return
        fi
        echo "bootstrap: PYTHON=$PYTHON is not a working Python 3.13 or newer; $hint" >&2
        return 1
    fi
    find_python313 bootstrap "$hint"
}

# The environment is kept when it runs a 3.13 or newer made from $PYTHON, if
# given.
venv_is_current() {
    is_supported_python "$venv/bin/python" || return 1
    [ -z "${PYTHON:-}" ] && return 0
    local realpath='import os, sys; print(os.path.realpath(getattr(sys, "_base_executable", sys.executable)))'
    [ "$("$venv/bin/python" -c "$realpath")" = "$("$PYTHON" -c "$realpath" 2>/dev/null)" ]
}

venv=${CPROTECTION_VENV:-.venv}
if ! venv_is_current; then
    python=$(find_python)
    echo "bootstrap: making $venv with $python"
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi

requirements=tools/requirements-dev.txt
stamp=$venv/.requirements-installed
if [ ! -f "$stamp" ] || ! cmp -s "$requirements" "$stamp"; then
    # A free-threaded interpreter takes wheels only: the newest releases of
    # some tools have no cp313t wheel and do not build from source here.
    binary_only=()
    "$venv/bin/python" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))' &&
        binary_only=(--only-binary :all:)
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip install --quiet "${binary_only[@]}" -r "$requirements"
    cp "$requirements" "$stamp"
fi

# shellcheck disable=SC2086
"$venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
    ${CPROTECTION_PIP_ARGS:-} .
