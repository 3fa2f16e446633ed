#!/usr/bin/env bash
# Makes, once per root, a root directory holding one of Debian's own
# Pythons for a foreign CPU, a wrapper that runs it under qemu-user and the
# test tools for it, and prints the wrapper's path.
#
#     tools/foreign-sysroot.sh ROOT
#
# ROOT is arm64 or s390x for Debian 13's Python 3.13, or arm64-3.14 or
# arm64-3.15 for that CPython release of Debian's development suite.
# Under $CPROTECTION_CACHE/sysroot-ROOT:
#   root/               the unpacked packages (merged /usr, as Debian has it)
#   emulate             runs a program of root/ under qemu-user
#   root/usr/bin/python the wrapper: runs root/usr/bin/python3.N under
#                       qemu and reports itself as sys.executable, so that
#                       subprocesses and venvs of the emulated interpreter
#                       go through qemu too (there is no binfmt_misc here)
#   site/               pytest, hypothesis and mypy for that CPU, from PyPI; the
#                       wrapper puts it on sys.path
#
# The machine's apt sources are never touched: packages come through a
# private apt configuration (tools/debian.sh).  Safe to run again; a root
# that is complete is kept.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/debian.sh
. "$here/debian.sh"
# shellcheck source=tools/common.sh
. "$here/common.sh"

name=${1:?usage: tools/foreign-sysroot.sh arm64|s390x|arm64-3.14|arm64-3.15}
arch=${name%%-*}
version=3.13
suite=trixie
case $name in
    arm64-3.14|arm64-3.15) version=${name#*-}; suite=sid ;;
    arm64|s390x) ;;
    *)
        echo "foreign-sysroot: unknown root $name (arm64, s390x, arm64-3.14 or arm64-3.15)" >&2
        exit 2 ;;
esac
case $arch in
    arm64)
        emulator=qemu-aarch64
        triple=aarch64-linux-gnu
        loader=ld-linux-aarch64.so.1
        # Pointer authentication with QEMU's own cheap algorithm instead of
        # the architected one: the same checks, twice the speed or more.
        cpu="max,pauth-impdef=on"
        wheel_arch=aarch64 ;;
    s390x)
        emulator=qemu-s390x
        triple=s390x-linux-gnu
        loader=ld64.so.1
        cpu=max
        wheel_arch=s390x ;;
esac

# The interpreter, its standard library and headers, and the libraries that
# the interpreter and its extension modules load.
packages=(
    "python$version-minimal" "libpython$version-minimal" "libpython$version-stdlib" "libpython$version"
    "libpython$version-dev" media-types
    libc6 libgcc-s1 libstdc++6 libcrypt1 zlib1g libbz2-1.0 liblzma5 libzstd1 libexpat1
    libffi8 libssl3t64 libsqlite3-0 libncursesw6 libtinfo6 libreadline8t64 libuuid1
    libdb5.3t64
)
# What pip installs for the suite inside the emulated interpreter.
test_requirements=("pytest>=8" "hypothesis>=6.100" "mypy>=1.10")

# The development suite's releases keep _testcapi, which the
# allocation-failure tests use, in a package of its own.
[ "$suite" = sid ] && packages+=("libpython$version-testsuite")

top=$CPROTECTION_CACHE/sysroot-$name
root=$top/root
site=$top/site
wrapper=$root/usr/bin/python
emulate=$top/emulate
stamp=$top/.complete
recipe="${packages[*]} ${test_requirements[*]} $cpu v3"

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ]; then
    echo "$wrapper"
    exit 0
fi

command -v "$emulator" >/dev/null || { echo "foreign-sysroot: $emulator not installed (Debian: qemu-user)" >&2; exit 1; }
host_python=${HOST_PYTHON:-$(find_python313 foreign-sysroot "or set HOST_PYTHON")}

debs=$CPROTECTION_CACHE/downloads/$name
rm -rf "$root" "$site"
mkdir -p "$root" "$site" "$debs"

# Some s390x files of the stable suite answer 404 on every try (libc6,
# zlib1g, liblzma5, libexpat1 and libssl3t64 when this was written): the
# mirror's index names versions that its pool does not hold.  Those packages
# then come from the development suite, whose versions are newer and
# compatible.
first=$(private_apt "$CPROTECTION_CACHE/apt-$suite-$arch" "$suite" "$arch")
development=""
for package in "${packages[@]}"; do
    compgen -G "$debs/${package}_*.deb" >/dev/null && continue
    if ! (cd "$debs" && APT_CONFIG=$first apt-get download -qq "$package" 2>"$top/download.log"); then
        echo "foreign-sysroot: $package for $arch: $suite answered" \
             "'$(grep -m 1 -o '[0-9]\{3\} \+[A-Z][A-Za-z ]*[a-z]' "$top/download.log" || echo "an error")', taking sid's" >&2
        [ -n "$development" ] || development=$(private_apt "$CPROTECTION_CACHE/apt-sid-$arch" sid "$arch")
        (cd "$debs" && APT_CONFIG=$development apt-get download -qq "$package")
    fi
done
for deb in "$debs"/*.deb; do
    dpkg-deb -x "$deb" "$root"
done
rm -f "$top/download.log"

# Debian's merged /usr, for tools that look for the loader in /lib (the
# programs name /lib/ld-*.so as their interpreter; qemu's -L follows that).
for dir in lib lib64 bin sbin; do
    if [ -d "$root/usr/$dir" ] && [ ! -e "$root/$dir" ]; then ln -s "usr/$dir" "$root/$dir"; fi
done

# Programs start through the root's own dynamic loader with the root's
# library directory, rather than with qemu's -L, which would also show
# files of the root in place of the host's at the same paths (/usr/bin and
# /usr/lib alike) to the emulated program.
cat >"$emulate" <<EOF
#!/bin/sh
# Runs a program of this $arch root under qemu: emulate [--argv0 NAME] PROGRAM ARGS...
exec $emulator -cpu $cpu "$root/usr/lib/$loader" --library-path "$root/usr/lib/$triple" "\$@"
EOF
cat >"$wrapper" <<EOF
#!/bin/sh
# Debian's $arch python$version under qemu.  argv[0] is this script, so the
# interpreter reports it as sys.executable and finds its prefix and any
# venv's pyvenv.cfg from here.
PYTHONPATH="$site\${PYTHONPATH:+:\$PYTHONPATH}" \\
exec "$emulate" --argv0 "\$0" "$root/usr/bin/python$version" "\$@"
EOF
chmod +x "$emulate" "$wrapper"

"$host_python" -m pip install -qq --disable-pip-version-check --root-user-action=ignore --target "$site" \
    --platform "manylinux_2_17_$wheel_arch" --implementation cp --python-version "$version" \
    --only-binary :all: "${test_requirements[@]}"

# The standard library comes without bytecode (Debian compiles it when the
# package is installed), and so do the test tools.  A host interpreter of
# the same release writes the same format and compiles them in seconds
# instead of minutes under qemu.  For the development suite's releases no
# such host interpreter exists here; the emulated one then compiles each
# module on its first import and keeps the result in the root.
magic='import importlib.util; print(importlib.util.MAGIC_NUMBER.hex())'
if [ "$("$host_python" -c "$magic")" = "$(PYTHONDONTWRITEBYTECODE=1 "$wrapper" -S -c "$magic")" ]; then
    "$host_python" -m compileall -q -j 0 "$root/usr/lib/python$version" "$site" >/dev/null || true
elif [ "$version" = 3.13 ]; then
    echo "foreign-sysroot: $host_python writes bytecode that $arch python$version does not read" >&2
    exit 1
fi

"$wrapper" -c 'import sys, platform, pytest, hypothesis; print(sys.executable, platform.machine(), sys.byteorder)' >&2
echo "$recipe" >"$stamp"
echo "$wrapper"
