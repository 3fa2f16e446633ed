#!/usr/bin/env bash
# Makes a virtual environment (.venv, or $CPROTECTION_VENV) with a Python
# 3.13, installs the build and test tools from PyPI, then builds and
# installs the package into it; $CPROTECTION_PIP_ARGS go to that install.
# Safe to run again: tools are installed once, the package is rebuilt
# incrementally.
set -euo pipefail
cd "$(dirname "$0")/.."

is_python313() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}

find_python313() {
    local candidate
    if command -v python3.13 >/dev/null 2>&1 && is_python313 python3.13; then
        echo python3.13
        return
    fi
    local pyenv_root
    pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    for candidate in "$pyenv_root"/versions/3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
        if [ -x "$candidate" ] && is_python313 "$candidate"; then
            echo "$candidate"
            return
        fi
    done
    echo "bootstrap: no Python 3.13 found (tried python3.13 on PATH, pyenv, /usr/bin)" >&2
    exit 1
}

venv=${CPROTECTION_VENV:-.venv}
if [ ! -x "$venv/bin/python" ] || ! is_python313 "$venv/bin/python"; then
    rm -rf "$venv"
    "$(find_python313)" -m venv "$venv"
fi

requirements=tools/requirements-dev.txt
stamp=$venv/.requirements-installed
if [ ! -f "$stamp" ] || ! cmp -s "$requirements" "$stamp"; then
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip install --quiet -r "$requirements"
    cp "$requirements" "$stamp"
fi

# shellcheck disable=SC2086
"$venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps --force-reinstall \
    ${CPROTECTION_PIP_ARGS:-} .
