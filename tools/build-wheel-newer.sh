#!/usr/bin/env bash
# Builds the repaired manylinux wheels for CPython 3.14 and 3.15 into
# OUT_DIR (default dist/), each inside the chroot of Debian's development
# suite (tools/sid-chroot.sh) with that interpreter, its g++ and auditwheel,
# through tools/build-wheel.sh.  Each wheel is then installed into a fresh
# virtual environment of its interpreter there, where the two-peer demo and
# a compiled caller of the native method table must run; so is the sdist,
# when OUT_DIR has one.
#
#     tools/build-wheel-newer.sh [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-dist}
if [ "${2:-}" != --in-chroot ]; then
    if ! reason=$(tools/sid-chroot.sh --check); then
        # CI must run everything; elsewhere a missing tool is reported, not fatal.
        if [ -n "${CI:-}" ]; then
            echo "build-wheel-newer: $reason" >&2
            exit 1
        fi
        echo "build-wheel-newer: $reason, so NO wheels are built for CPython 3.14 and 3.15"
        exit 0
    fi
    mkdir -p "$out"
    exec nice tools/sid-chroot.sh tools/build-wheel-newer.sh "$out" --in-chroot
fi

# Checks the compiled caller against the installed wheel: a stream it
# encrypts through the table decrypts in Python, and a refused argument
# reports the module's own message.
caller_check='
import sys
sys.path.insert(0, sys.argv[1])
import native_caller
from kovrin.modules.security.cprotection import CProtection
sender, receiver = CProtection(), CProtection(True)
native_caller.call("activate", sender, [0x1234, 77], 1)
receiver.activate([0x1234, 77])
assert receiver.decrypt(native_caller.call("encrypt", sender, bytearray(b"hello"), 1)) == b"hello"
try:
    native_caller.call("activate", sender, (1, 2), 1)
except TypeError as error:
    assert str(error) == "Argument '"'"'keys'"'"' has incorrect type (expected list, got tuple)", error
else:
    raise AssertionError("a tuple of keys was accepted")
'

# smoke_test PYTHON PACKAGE: installs the wheel or sdist into a fresh virtual
# environment of PYTHON, then runs the demo and the compiled caller there.
smoke_test() {
    local smoke
    smoke=$(mktemp -d)
    "$1" -m venv "$smoke/env"
    "$smoke/env/bin/python" -m pip install --quiet --no-deps "$2"
    cp examples/two_peers.py "$smoke/"
    (cd "$smoke" && env/bin/python two_peers.py --mebibytes 1 | tail -n 1 | grep -x ok >/dev/null)
    (cd "$smoke" && env/bin/python /src/examples/native_caller/build.py caller >/dev/null &&
        env/bin/python -c "$caller_check" caller >/dev/null)
    rm -rf "$smoke"
}

for version in 3.14 3.15; do
    tools=build/sid-venv-$version-wheel-tools
    if ! "$tools/bin/python" -m auditwheel --version >/dev/null 2>&1; then
        rm -rf "$tools"
        "python$version" -m venv "$tools"
        # shellcheck disable=SC2046
        "$tools/bin/python" -m pip install --quiet $(grep -E '^(build|auditwheel)\b' tools/requirements-dev.txt)
    fi
    work=build/sid-wheel-$version
    rm -rf "$work"
    BUILD_PYTHON=$tools/bin/python tools/build-wheel.sh "$work" --wheel \
        "--config-setting=build-dir=$work/cmake"
    wheel=$(ls "$work"/*-manylinux*.whl)

    smoke_test "python$version" "$wheel"
    mv "$wheel" "$out/"
    echo "build-wheel-newer: $(basename "$wheel") passed its smoke test"
    # Where no wheel fits, pip builds from the sdist: that must work too.
    for sdist in "$out"/*.tar.gz; do
        [ -f "$sdist" ] || continue
        smoke_test "python$version" "$sdist"
        echo "build-wheel-newer: $(basename "$sdist") installed on $version and passed the same test"
    done
done
