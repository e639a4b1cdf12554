#!/usr/bin/env bash
# Installs what the project needs to build and test on Debian 12.
# Python 2.7 comes from Debian's bullseye suite, added as an extra apt source
# that reuses the mirror this machine is already configured with.
# Idempotent: does nothing when everything is present.
set -euo pipefail

PACKAGES_BULLSEYE=(python2.7 python2.7-dev python2.7-dbg)
PACKAGES_BUILD=(cmake g++ ninja-build make pkg-config libgtest-dev libmount-dev libblkid-dev)
# The suite of real file systems (tests/test_real_file_systems.py): the tools
# that make and mount them, the FUSE drivers, and fusepy for a FUSE file
# system of its own. fuse3 provides the "fuse" that the FUSE 2 drivers need.
PACKAGES_REAL_FS=(util-linux mount e2fsprogs btrfs-progs xfsprogs squashfs-tools dosfstools exfatprogs
    fuse3 exfat-fuse ntfs-3g fusefat python3 python3-fusepy)

missing() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
    done
}

need_bullseye=$(missing "${PACKAGES_BULLSEYE[@]}")
need_build=$(missing "${PACKAGES_BUILD[@]}" "${PACKAGES_REAL_FS[@]}")
if [ -z "$need_bullseye" ] && [ -z "$need_build" ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

# The mirror already configured for Debian's main archive (deb822 or one-line form).
mirror_uri() {
    local f uri
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -e "$f" ] || continue
        uri=$(awk '
            /^[[:space:]]*$/ { if (deb && uri && !sec) { print uri; exit } deb=0; uri=""; sec=0; next }
            /^Types:/ && / deb( |$)/ { deb=1 }
            /^URIs:/ { uri=$2; if (uri ~ /security/) sec=1 }
            /^Suites:/ && /security/ { sec=1 }
            END { if (deb && uri && !sec) print uri }' "$f" | head -n1)
        if [ -n "$uri" ]; then echo "$uri"; return; fi
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -e "$f" ] || continue
        uri=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' "$f" | head -n1)
        if [ -n "$uri" ]; then echo "$uri"; return; fi
    done
}

BULLSEYE_LIST=/etc/apt/sources.list.d/project-bullseye.sources
if [ -n "$need_bullseye" ] && [ ! -e "$BULLSEYE_LIST" ]; then
    uri=$(mirror_uri)
    if [ -z "$uri" ]; then
        echo "setup: no Debian mirror found in the apt sources" >&2
        exit 1
    fi
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    $SUDO tee "$BULLSEYE_LIST" >/dev/null <<SRC
Types: deb
URIs: $uri
Suites: bullseye
Components: main
Signed-By: $keyring
SRC
    # Keep bookworm preferred: bullseye only supplies what bookworm lacks.
    $SUDO tee /etc/apt/preferences.d/project-bullseye >/dev/null <<'PREF'
Package: *
Pin: release n=bullseye
Pin-Priority: 100
PREF
fi

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $need_build $need_bullseye >/dev/null
