#!/usr/bin/env bash
# Installs what the fidelity legs and the benchmark of this machine's file
# systems need, on top of tools/setup.sh:
#   source   Debian's python2.7 source package can be fetched (a deb-src
#            entry for bullseye) and unpacked with its patches
#   i386     32-bit host: python2.7's library and headers for i386
#            (multiarch), a compiler that targets it, and QEMU's user-mode
#            emulation for kernels that run no 32-bit programs
#   windows  the cross compilers for Windows (32- and 64-bit) and Wine with
#            its 32-bit half, to run Windows programs
#   bench    psutil for Python 3, the reference of bench/bench_this_machine.py,
#            and bindfs, a small FUSE driver written in C to mount by the hundred
#   win32    an emulated x86-64 machine (QEMU) whose kernel runs 32-bit
#            programs, for 32-bit Wine: QEMU itself and the static busybox
#            of the machine's initramfs (the kernel is fetched by
#            tools/win32-vm/machine.sh, not installed)
# Idempotent: does nothing when everything is present.
# Usage: tools/setup-fidelity.sh PART...
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh  # the bullseye entry whose mirror the deb-src entry reuses

packages_for() {
    case "$1" in
        source) echo dpkg-dev autoconf ;;
        i386) echo g++-multilib libpython2.7-dev:i386 libgtest-dev:i386 libmount-dev:i386 libblkid-dev:i386 \
            qemu-user ;;
        windows) echo g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 wine wine64 wine32:i386 zip ;;
        bench) echo python3-psutil bindfs ;;
        win32) echo qemu-system-x86 busybox-static ;;
        *) echo "setup-fidelity: unknown part '$1'" >&2; return 1 ;;
    esac
}

missing() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
    done
}

needs_i386=false
wanted=()
for part in "$@"; do
    read -r -a list <<<"$(packages_for "$part")"
    wanted+=("${list[@]}")
    case "$part" in i386 | windows) needs_i386=true ;; esac
done

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
# Other builds on this machine may hold the package manager for a while.
APT=($SUDO apt-get -o DPkg::Lock::Timeout=1200 -y -qq)

refresh=false
BULLSEYE_LIST=/etc/apt/sources.list.d/project-bullseye.sources
BULLSEYE_SRC_LIST=/etc/apt/sources.list.d/project-bullseye-src.sources
if [[ " $* " == *" source "* ]] && [ ! -e "$BULLSEYE_SRC_LIST" ]; then
    if [ ! -e "$BULLSEYE_LIST" ]; then
        echo "setup-fidelity: $BULLSEYE_LIST is missing (tools/setup.sh makes it)" >&2
        exit 1
    fi
    # The same mirror and key as the bullseye entry that tools/setup.sh made.
    sed -e 's/^Types:.*/Types: deb-src/' "$BULLSEYE_LIST" | $SUDO tee "$BULLSEYE_SRC_LIST" >/dev/null
    refresh=true
fi
if $needs_i386 && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    refresh=true
fi

need=$(missing "${wanted[@]}")
if [ -z "$need" ] && ! $refresh; then
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
"${APT[@]}" update
if [ -n "$need" ]; then
    # shellcheck disable=SC2086
    "${APT[@]}" install --no-install-recommends $need >/dev/null
fi
