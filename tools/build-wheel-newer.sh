#!/usr/bin/env bash
# Builds the repaired manylinux wheels for CPython 3.14 and 3.15 into
# OUT_DIR (default dist/), each inside the chroot of Debian's development
# suite (tools/sid-chroot.sh) with that interpreter, its g++ and auditwheel,
# through tools/build-wheel.sh.  Each wheel is then installed into a fresh
# virtual environment of its interpreter there and tried out by
# tools/smoke-test.sh; so is the sdist, when OUT_DIR has one.
#
#     tools/build-wheel-newer.sh [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-dist}
if [ "${2:-}" != --in-chroot ]; then
    # shellcheck source=tools/common.sh
    . tools/common.sh
    reason=$(tools/sid-chroot.sh --check) ||
        skip_or_fail build-wheel-newer "$reason" "NO wheels are built for CPython 3.14 and 3.15"
    mkdir -p "$out"
    exec nice tools/sid-chroot.sh tools/build-wheel-newer.sh "$out" --in-chroot
fi

# smoke_test PYTHON PACKAGE: installs the wheel or sdist into a fresh virtual
# environment of PYTHON and tries it out there.
smoke_test() {
    local smoke
    smoke=$(mktemp -d)
    "$1" -m venv "$smoke/env"
    "$smoke/env/bin/python" -m pip install --quiet --no-deps "$2"
    tools/smoke-test.sh "$smoke/env/bin/python" >/dev/null
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
