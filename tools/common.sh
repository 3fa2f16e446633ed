# Sourced by the tools; uses shell builtins only.  Defines:
#
#   find_python313 NAME [HINT]
#                        prints a host Python 3.13: python3.13 on PATH, else a
#                        pyenv-installed 3.13, else /usr/bin or /usr/local/bin;
#                        fails with one line on standard error, "NAME: no
#                        Python 3.13 found (tried ...)", then "; HINT"
#   skip_or_fail NAME REASON WHAT
#                        a tool that is missing: in CI, where every tool is
#                        installed, prints "NAME: REASON" on standard error
#                        and exits 1; elsewhere says WHAT is NOT done and
#                        exits 0

is_python313() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1
}

find_python313() {
    if command -v python3.13 >/dev/null 2>&1 && is_python313 python3.13; then
        echo python3.13
        return
    fi
    local pyenv_root candidate
    pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    for candidate in "$pyenv_root"/versions/3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
        if [ -x "$candidate" ] && is_python313 "$candidate"; then
            echo "$candidate"
            return
        fi
    done
    echo "$1: no Python 3.13 found (tried python3.13 on PATH, $pyenv_root/versions/3.13*/bin/python3.13," \
        "/usr/bin/python3.13, /usr/local/bin/python3.13)${2:+; $2}" >&2
    return 1
}

skip_or_fail() {
    if [ -n "${CI:-}" ]; then
        echo "$1: $2" >&2
        exit 1
    fi
    echo "$1: $2, so $3"
    exit 0
}
