# Sourced by the tools that take interpreters, compilers and sysroots from
# Debian's archive.  Defines:
#
#   CPROTECTION_CACHE    where those tools keep what takes minutes to make,
#                        outside the work tree so that a machine makes it once
#                        (default ${XDG_CACHE_HOME:-~/.cache}/kovrin-cprotection)
#   debian_mirror        prints the Debian mirror the machine's apt uses
#   private_apt DIR SUITE ARCH [deb-src]
#                        writes a private apt configuration under DIR for one
#                        suite and architecture, updates its lists and prints
#                        the path to export as APT_CONFIG; the machine's own
#                        sources, lists and cache are never touched
#   debian_triple ARCH   prints the GNU triple of a Debian architecture that
#                        the foreign tools support (arm64, s390x), or fails
#
# Debian's development suite is "sid"; its testing suite is named below
# where a script needs it.

CPROTECTION_CACHE=${CPROTECTION_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kovrin-cprotection}

debian_mirror() {
    local uri
    uri=$(grep -hs -E '^(URIs:|deb )' /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null |
          grep -o -E 'https?://[^ ]*/debian/?' | grep -v security | head -n 1)
    echo "${uri:-http://deb.debian.org/debian}"
}

private_apt() {
    local dir=$1 suite=$2 arch=$3 with_src=${4:-}
    mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/etc/preferences.d" "$dir/etc/trusted.gpg.d"
    local mirror types="deb"
    mirror=$(debian_mirror)
    [ "$with_src" = deb-src ] && types="deb deb-src"
    cat >"$dir/sources.list.new" <<EOF
Types: $types
URIs: $mirror
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    mv "$dir/sources.list.new" "$dir/etc/debian.sources"
    cat >"$dir/apt.conf" <<EOF
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
Dir::Etc::SourceList "/dev/null";
Dir::Etc::SourceParts "$dir/etc";
Dir::Etc::Preferences "/dev/null";
Dir::Etc::PreferencesParts "$dir/etc/preferences.d";
Dir::State "$dir";
Dir::State::Lists "$dir/lists";
Dir::State::status "/dev/null";
Dir::Cache "$dir";
Dir::Cache::Archives "$dir/archives";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
Acquire::Retries "3";
APT::Sandbox::User "root";
EOF
    APT_CONFIG="$dir/apt.conf" apt-get -qq update >&2
    echo "$dir/apt.conf"
}

debian_triple() {
    case $1 in
        arm64) echo aarch64-linux-gnu ;;
        s390x) echo s390x-linux-gnu ;;
        *) echo "unknown architecture $1 (arm64 or s390x)" >&2; return 2 ;;
    esac
}
