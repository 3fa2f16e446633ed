#!/usr/bin/env bash
# Runs the test suite on the newest CPython releases, 3.14 and 3.15, in the
# chroot of Debian's development suite (tools/sid-chroot.sh), each against
# the module built there by that suite's g++, then once more on 3.15 against
# the module built by its clang (warnings are errors in every build), and on
# 3.14's debug build (python3.14d, which checks reference counts and the use
# of the C API as it runs) against the module built by g++ with that build's
# headers and ABI.  Each interpreter and compiler has its own virtual
# environment, made inside the chroot and kept under build/ (its paths hold
# only there).  Every run checks that the module it built carries its
# interpreter's extension suffix, and writes tests/describe_callables.py's
# report, which must equal the one of the host's environment ($VENV_PYTHON,
# default .venv/bin/python, a 3.13 made by `make install`).  Arguments go to
# every pytest run.  CPROTECTION_NEWER_RUNS names the runs to make, by
# interpreter and compiler (default: "3.14-gcc 3.15-gcc 3.15-clang 3.14d-gcc").
#
# Left out: the cross-compiler and Windows checks (the chroot has no cross
# compilers and no wine; they test the same sources in the run on the
# host), and after the first
# run the kernel programs, which build no Python code and need each
# compiler only once.
set -euo pipefail
cd "$(dirname "$0")/.."

reports=build/introspection
if [ "${1:-}" != --in-chroot ]; then
    # shellcheck source=tools/common.sh
    . tools/common.sh
    reason=$(tools/sid-chroot.sh --check) ||
        skip_or_fail test-newer "$reason" "the suite is NOT run on CPython 3.14, its debug build and 3.15"
    mkdir -p "$reports"
    python=${VENV_PYTHON:-.venv/bin/python}
    "$python" tests/describe_callables.py >"$reports/host.json"
    exec nice tools/sid-chroot.sh tools/test-newer.sh --in-chroot \
        "${CPROTECTION_NEWER_RUNS:-3.14-gcc 3.15-gcc 3.15-clang 3.14d-gcc}" "$@"
fi
runs=" $2 "
shift 2

status=0
# run VERSION COMPILER [PYTEST ARGS...]; VERSION is 3.N, or 3.Nd for the debug build
run() {
    local version=$1 compiler=$2
    shift 2
    case $runs in *" $version-$compiler "*) ;; *) return 0 ;; esac
    local venv=build/sid-venv-$version-$compiler
    # A debug build shows every ResourceWarning, and pip leaves many.
    PYTHON=python$version CPROTECTION_VENV=$venv PYTHONWARNINGS=ignore::ResourceWarning \
    CPROTECTION_PIP_ARGS="--config-settings=build-dir=build/sid-$compiler-$version" \
        tools/bootstrap.sh
    echo "test-newer: Python $("$venv/bin/python" -c 'import platform; print(platform.python_version())')" \
         "$("$venv/bin/python" -c 'import sys; print("(debug build)" * hasattr(sys, "gettotalrefcount"))')," \
         "module built by $("${CXX:-g++}" --version | head -n 1)"
    # A module built for another ABI (a debug interpreter's headers, or
    # another version's) would not carry this interpreter's own suffix.
    "$venv/bin/python" -c '
import sys, sysconfig
import kovrin.modules.security.cprotection as module
suffix = sysconfig.get_config_var("EXT_SUFFIX")
sys.exit(None if module.__file__.endswith(suffix) else f"the module {module.__file__} lacks the suffix {suffix}")
' || status=1
    "$venv/bin/python" -m pytest -q -p no:cacheprovider \
        -k "not aarch64 and not s390x and not cross_compiles and not windows" "$@" || status=1
    "$venv/bin/python" tests/describe_callables.py >"$reports/$version-$compiler.json"
    diff -u "$reports/host.json" "$reports/$version-$compiler.json" || {
        echo "test-newer: introspection on $version ($compiler) differs from the host's, above" >&2
        status=1
    }
}

run 3.14 gcc "$@"
run 3.15 gcc --deselect tests/test_kernels.py::test_kernel_program_passes "$@"
CC=clang CXX=clang++ run 3.15 clang --deselect tests/test_kernels.py::test_kernel_program_passes "$@"
run 3.14d gcc --deselect tests/test_kernels.py::test_kernel_program_passes "$@"
exit $status
