#!/usr/bin/env bash
# Builds the free-threaded CPython 3.13 (--disable-gil) from Debian's
# python3.13 source package once per machine, into the cache, and prints the
# interpreter's path.  The build takes about ten minutes on two cores.
#
#   build-python-ft.sh          the free-threaded interpreter
#   build-python-ft.sh --tsan   the same, built with ThreadSanitizer (gcc's
#                               libtsan; Debian's clang 14 lacks its runtime)
#
#   PYTHON_FT=/path/to/python3.13t    use that interpreter instead (plain
#                                     build only; nothing is built)
#   PYTHON_FT_TSAN=/path/to/python3.13t   the same for --tsan
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/debian.sh
. "$here/debian.sh"

variant=plain
case "${1:-}" in
    "") ;;
    --tsan) variant=tsan ;;
    *) echo "usage: $0 [--tsan]" >&2; exit 2 ;;
esac

if [ "$variant" = plain ] && [ -n "${PYTHON_FT:-}" ]; then
    echo "$PYTHON_FT"
    exit 0
fi
if [ "$variant" = tsan ] && [ -n "${PYTHON_FT_TSAN:-}" ]; then
    echo "$PYTHON_FT_TSAN"
    exit 0
fi

source_dir=$("$here/cpython-source.sh")
version=$(basename "$source_dir")
version=${version#cpython-}
# The test modules stay in: the allocation-failure tests need _testcapi.
configure_args=(--disable-gil)
name=python-${version}t
if [ "$variant" = tsan ]; then
    # ThreadSanitizer needs the interpreter itself instrumented, or every
    # access it makes for the module looks unsynchronised.  Only the
    # threading tests run there, so it goes without the test modules.
    configure_args+=(--disable-test-modules --with-thread-sanitizer)
    name=python-${version}t-tsan
fi
prefix=$CPROTECTION_CACHE/$name
python=$prefix/bin/python${version%.*}t
# Holds the configure arguments, so that a build made with others is redone.
stamp=$prefix/.installed

if [ "$(cat "$stamp" 2>/dev/null)" != "${configure_args[*]}" ]; then
    # Out of tree, so the plain and the sanitizer build share one source.
    build=$CPROTECTION_CACHE/build-$name
    rm -rf "$build" "$prefix"
    mkdir -p "$build"
    log=$build/build.log
    echo "building $name into $prefix (log: $log)" >&2
    start=$SECONDS
    if ! (cd "$build" &&
          "$source_dir/configure" --prefix="$prefix" "${configure_args[@]}" &&
          nice -n 5 make -j"$(nproc)" &&
          make install) >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "building $name failed; see $log" >&2
        exit 1
    fi
    "$python" -c 'import sys; sys.exit(sys._is_gil_enabled())' ||
        { echo "$python does not run without the GIL" >&2; exit 1; }
    echo "built $name in $((SECONDS - start)) s" >&2
    echo "${configure_args[*]}" >"$stamp"
fi
echo "$python"
