# shellcheck shell=bash
# Debian packages of another architecture or release (kernels, headers,
# busybox),
# fetched with apt-get download and unpacked with dpkg -x, never installed.
# apt works on a private state in KTEST_APT (its own lists, cache and
# sources for amd64 and arm64), so the machine's dpkg architectures and apt
# lists stay as they are. Source it from bash after setting KTEST_APT;
# it defines functions only. Every function prints its result on stdout and
# returns non-zero on failure.
#
# Environment: KOVA_DEBIAN_MIRROR (default http://deb.debian.org/debian),
# KOVA_DEBIAN_SECURITY (default http://deb.debian.org/debian-security),
# KTEST_SUITE (another release's main suite alone, e.g. bullseye; default
# the machine's release with its updates and security suites).

ktest_apt() { # apt-get/apt-cache with the private state
    local tool=$1
    shift
    "$tool" -q -o Dir::State::Lists="$KTEST_APT/lists" -o Dir::Cache="$KTEST_APT/cache" \
        -o Dir::Etc::SourceList="$KTEST_APT/sources.list" -o Dir::Etc::SourceParts="$KTEST_APT/sources.list.d" \
        -o Dir::State::status=/dev/null -o APT::Architecture=amd64 \
        -o APT::Architectures::=amd64 -o APT::Architectures::=arm64 \
        -o APT::Sandbox::User="$(id -un)" "$@"
}

# ktest_apt_update [force]: the package lists, fetched when missing, older
# than a day, or when forced.
ktest_apt_update() {
    local codename mirror security keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$codename" ] || { echo "debs: no VERSION_CODENAME in /etc/os-release" >&2; return 1; }
    [ -f "$keyring" ] || { echo "debs: $keyring missing" >&2; return 1; }
    mirror=${KOVA_DEBIAN_MIRROR:-http://deb.debian.org/debian}
    security=${KOVA_DEBIAN_SECURITY:-http://deb.debian.org/debian-security}
    mkdir -p "$KTEST_APT"/lists/partial "$KTEST_APT"/cache/archives/partial "$KTEST_APT"/sources.list.d "$KTEST_APT"/debs
    local opts="[arch=amd64,arm64 signed-by=$keyring]"
    if [ -n "${KTEST_SUITE:-}" ]; then
        printf 'deb %s %s %s main\n' "$opts" "$mirror" "$KTEST_SUITE" >"$KTEST_APT/sources.list.new"
    else
        printf 'deb %s %s %s main\n' \
            "$opts" "$mirror" "$codename" \
            "$opts" "$mirror" "$codename-updates" \
            "$opts" "$security" "$codename-security" >"$KTEST_APT/sources.list.new"
    fi
    local stale=1
    if cmp -s "$KTEST_APT/sources.list.new" "$KTEST_APT/sources.list" &&
        [ -n "$(find "$KTEST_APT/lists" -maxdepth 1 -name '*_Packages*' -mmin -1440 -print -quit)" ]; then
        stale=0
    fi
    mv "$KTEST_APT/sources.list.new" "$KTEST_APT/sources.list"
    if [ "$stale" = 1 ] || [ "${1:-}" = force ]; then
        ktest_apt apt-get update >"$KTEST_APT/update.log" 2>&1 ||
            { cat "$KTEST_APT/update.log" >&2; return 1; }
    fi
}

# ktest_deb NAME:ARCH: the path of the package's .deb (the candidate
# version), downloaded once into KTEST_APT/debs. (A second argument "again"
# is its own retry after refreshing the lists.)
ktest_deb() {
    local pkg=$1 name=${1%%:*} arch=${1##*:} version file
    version=$(ktest_apt apt-cache policy "$pkg" | sed -n 's/^ *Candidate: //p')
    if [ -z "$version" ] || [ "$version" = "(none)" ]; then
        ktest_apt_update force || return 1
        version=$(ktest_apt apt-cache policy "$pkg" | sed -n 's/^ *Candidate: //p')
    fi
    if [ -z "$version" ] || [ "$version" = "(none)" ]; then
        echo "debs: no package $pkg in the archive" >&2
        return 1
    fi
    file="$KTEST_APT/debs/${name}_${version/:/%3a}_${arch}.deb"
    if [ ! -f "$file" ]; then
        if ! (cd "$KTEST_APT/debs" && ktest_apt apt-get download "$pkg=$version") >"$KTEST_APT/download.log" 2>&1; then
            # Lists older than the archive name versions it no longer has.
            cat "$KTEST_APT/download.log" >&2
            [ "${2:-}" = again ] && return 1
            ktest_apt_update force || return 1
            ktest_deb "$pkg" again
            return
        fi
        [ -f "$file" ] || { echo "debs: apt-get download left no $file" >&2; return 1; }
    fi
    echo "$file"
}

# ktest_unpack NAME:ARCH DEST: the package's files under DEST.
ktest_unpack() {
    local deb
    deb=$(ktest_deb "$1") || return 1
    mkdir -p "$2"
    dpkg -x "$deb" "$2" || { echo "debs: dpkg -x $deb failed" >&2; return 1; }
}

# ktest_depends NAME:ARCH PATTERN: the first package the given one depends
# on whose name matches the extended regular expression PATTERN.
ktest_depends() {
    ktest_apt apt-cache show "$1" | sed -n '1,/^$/s/^Depends: //p' | sed 's/[,|]/\n/g' |
        sed -E 's/^ *([^ (:]+).*/\1/' | grep -E -m 1 "^($2)\$"
}

# ktest_kernel_tree RELEASE DEST: a Kbuild tree for building modules of
# kernel RELEASE (e.g. 6.1.0-57-arm64 or 5.10.0-32-amd64) on this machine:
# the headers package of the release's architecture, its
# architecture-independent part and the amd64 Kbuild tools it names,
# unpacked under DEST with their absolute paths pointed there. Prints the
# tree's directory.
ktest_kernel_tree() {
    local release=$1 dest=$2 kdir common kbuild link target arch=arm64
    case "$release" in *-amd64) arch=amd64 ;; esac
    kdir="$dest/usr/src/linux-headers-$release"
    if [ ! -f "$dest/.complete" ]; then
        rm -rf "$dest"
        common=$(ktest_depends "linux-headers-$release:$arch" 'linux-headers-.*-common') ||
            { echo "debs: linux-headers-$release names no -common package" >&2; return 1; }
        kbuild=$(ktest_depends "linux-headers-$release:$arch" 'linux-kbuild-.*') ||
            { echo "debs: linux-headers-$release names no linux-kbuild package" >&2; return 1; }
        ktest_unpack "linux-headers-$release:$arch" "$dest" >&2 &&
            ktest_unpack "$common:all" "$dest" >&2 &&
            ktest_unpack "$kbuild:amd64" "$dest" >&2 || return 1
        # The headers' Makefile includes the -common tree and its scripts
        # and tools are links into the Kbuild package, all by absolute path.
        sed -i -E "s#^include (/usr/src/.*)#include $dest\\1#" "$kdir/Makefile"
        grep -q "^include $dest/usr/src/" "$kdir/Makefile" ||
            { echo "debs: unexpected $kdir/Makefile" >&2; return 1; }
        for link in scripts tools; do
            [ -L "$kdir/$link" ] || continue
            target=$(readlink "$kdir/$link")
            case "$target" in /*) ln -sfn "$dest$target" "$kdir/$link" ;; esac
            [ -d "$kdir/$link/" ] || { echo "debs: $kdir/$link leads nowhere" >&2; return 1; }
        done
        touch "$dest/.complete"
    fi
    echo "$kdir"
}
