#!/usr/bin/env bash
# Runs a command inside a minimal chroot of Debian's development suite, the
# one place here with the newest CPython releases and compilers:
#
#     tools/sid-chroot.sh [--] COMMAND [ARGS...]
#     tools/sid-chroot.sh --create      makes the chroot only
#     tools/sid-chroot.sh --check       says why it cannot be used here, if so
#
# The chroot is made once (a few minutes) under $CPROTECTION_CACHE and kept
# until the package list below changes; remove it to take newer packages.
# For each run, in a mount namespace of the run's own (so nothing stays
# mounted even when the run is killed): /proc and /dev are mounted, the work
# tree appears at /src and the host's pip configuration, CA bundle and local
# package directories are brought in, so that pip inside reaches the same
# package index as on the host.  The command runs as root in /src with a
# clean environment plus the PIP_* variables and CI.  The machine's own apt
# sources are never read or written; only its mirror's address is.
set -euo pipefail
# debootstrap and chroot live in the administrator's directories.
PATH=$PATH:/usr/sbin:/sbin
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/debian.sh
. "$here/debian.sh"

suite=sid
root=$CPROTECTION_CACHE/chroot-$suite-amd64
# The testsuite packages hold _testcapi, which the allocation-failure tests use;
# python3.14-dbg is CPython's debug build (python3.14d), with its own headers.
packages=python3.14,python3.14-dev,python3.14-venv,libpython3.14-testsuite,python3.14-dbg
packages+=,python3.15,python3.15-dev,python3.15-venv,libpython3.15-testsuite,g++,clang,cmake
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

# Prints why no chroot can be made or entered here, if so, and fails.
check_usable() {
    if [ "$(id -u)" != 0 ]; then
        echo "the chroot needs root"
    elif ! command -v unshare >/dev/null || ! command -v chroot >/dev/null; then
        echo "unshare or chroot is missing (Debian: util-linux, coreutils)"
    elif ! is_complete && ! command -v debootstrap >/dev/null; then
        echo "debootstrap is missing (Debian: apt-get install debootstrap)"
    else
        return 0
    fi
    return 1
}

is_complete() {
    [ "$(cat "$root/.complete" 2>/dev/null)" = "$packages" ]
}

create() {
    is_complete && return
    command -v debootstrap >/dev/null || {
        echo "sid-chroot: debootstrap is missing (Debian: apt-get install debootstrap)" >&2
        return 1
    }
    mkdir -p "$CPROTECTION_CACHE"
    # One maker at a time; a second caller waits and then finds it made.
    exec 9>"$root.lock"
    flock 9
    is_complete && return
    local started=$SECONDS
    rm -rf "$root.new"
    echo "sid-chroot: making $root (takes minutes, once)" >&2
    # Bookworm's debootstrap knows no newer suite names; the sid script
    # serves any of them.
    debootstrap --variant=minbase --keyring="$keyring" --include="$packages" \
        "$suite" "$root.new" "$(debian_mirror)" /usr/share/debootstrap/scripts/sid >"$root.log" 2>&1 || {
        tail -n 20 "$root.log" >&2
        echo "sid-chroot: debootstrap failed; its log: $root.log" >&2
        return 1
    }
    rm -rf "$root.new/var/cache/apt/archives/"*.deb
    rm -rf "$root"
    mv "$root.new" "$root"
    echo "$packages" >"$root/.complete"
    echo "sid-chroot: made in $((SECONDS - started)) s" >&2
}

# Copies the host's pip configuration into the chroot and prints the local
# directories it names (find-links and file:// indexes), to be bound in.
pip_setup() {
    local dir config
    mkdir -p "$root/etc/ssl/certs" "$root/root/.config/pip"
    cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
    for config in /etc/pip.conf "$HOME/.config/pip/pip.conf"; do
        if [ -f "$config" ]; then
            cp "$config" "$root$config"
        else
            rm -f "$root$config"
        fi
    done
    [ -f /etc/resolv.conf ] && cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    {
        cat /etc/pip.conf "$HOME/.config/pip/pip.conf" 2>/dev/null || true
        echo "${PIP_FIND_LINKS:-} ${PIP_EXTRA_INDEX_URL:-} ${PIP_INDEX_URL:-}"
    } | grep -o -E '(file://)?/[^ ]+' | sed 's|^file://||' | while read -r dir; do
        # An index's directory is bound whole, for the files its pages link.
        case $dir in */simple|*/simple/) dir=$(dirname "$dir") ;; esac
        [ -d "$dir" ] && echo "$dir"
    done | sort -u
}

run() {
    local src binds
    src=$(cd "$here/.." && pwd)
    binds=$(pip_setup)
    export CPROTECTION_CHROOT=$root CPROTECTION_SRC=$src CPROTECTION_BINDS=$binds
    # The mounts live in this namespace and go with it.
    exec unshare --mount --propagation private -- bash -c '
        set -e
        mount -t proc proc "$CPROTECTION_CHROOT/proc"
        mount --rbind /dev "$CPROTECTION_CHROOT/dev"
        mkdir -p "$CPROTECTION_CHROOT/src"
        mount --bind "$CPROTECTION_SRC" "$CPROTECTION_CHROOT/src"
        for dir in $CPROTECTION_BINDS; do
            mkdir -p "$CPROTECTION_CHROOT$dir"
            mount --bind -o ro "$dir" "$CPROTECTION_CHROOT$dir"
        done
        mount -t tmpfs tmpfs "$CPROTECTION_CHROOT/tmp"
        keep=(HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 TERM=dumb)
        while IFS= read -r line; do keep+=("$line"); done < <(env | grep -E "^(PIP_[A-Z_]+|CI)=" || true)
        exec chroot "$CPROTECTION_CHROOT" /usr/bin/env -i "${keep[@]}" /bin/sh -c "cd /src && exec \"\$@\"" sh "$@"
    ' sid-chroot "$@"
}

case ${1:-} in
    --check) check_usable ;;
    --create) create ;;
    --) shift; create; run "$@" ;;
    "") echo "usage: $0 [--] COMMAND [ARGS...] | --create | --check" >&2; exit 2 ;;
    *) create; run "$@" ;;
esac
