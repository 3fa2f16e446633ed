#!/usr/bin/env bash
# Fetches the upstream CPython 3.13 source from Debian's python3.13 source
# package, unpacks it once into the cache and prints its directory.  The
# free-threaded interpreters and the Windows compile check are built from
# it.  Debian's development suite keeps this version's upstream tarball.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/debian.sh
. "$here/debian.sh"

version=3.13.15
revision=1
source_dir=$CPROTECTION_CACHE/cpython-$version
if [ ! -f "$source_dir/.unpacked" ]; then
    apt_dir=$CPROTECTION_CACHE/apt-sid-source
    apt_config=$(private_apt "$apt_dir" sid amd64 deb-src)
    download=$CPROTECTION_CACHE/downloads
    mkdir -p "$download"
    tarball=$download/python3.13_$version.orig.tar.xz
    if [ ! -f "$tarball" ]; then
        (cd "$download" && APT_CONFIG=$apt_config apt-get source --download-only -qq \
            "python3.13=$version-$revision" >&2)
    fi
    rm -rf "$source_dir"
    mkdir -p "$source_dir"
    tar -xJf "$tarball" -C "$source_dir" --strip-components=1
    touch "$source_dir/.unpacked"
fi
echo "$source_dir"
