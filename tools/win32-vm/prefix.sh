#!/usr/bin/env bash
# Makes the Wine prefix of the 32-bit Windows leg, once, on an ext4 disk
# image in CACHE (wine-prefix.ext4): a pure 32-bit prefix (WINEARCH=win32),
# made inside the emulated machine by the guest's 32-bit Wine (made on this
# host with wine64 instead, its 32-bit half would be empty and no 32-bit
# program could load kernel32). Runs attach it with snapshot=on and never
# change it. Keyed on the versions of Wine's packages: a change makes the
# prefix again.
# Usage: tools/win32-vm/prefix.sh CACHE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=$(cd "$1" && pwd)
image=$cache/wine-prefix.ext4

key=$( {
    dpkg-query -W -f='${Package} ${Version}\n' wine wine32:i386 libwine:i386
    cat "$here/prefix.sh"
} | sha256sum | cut -d' ' -f1)
if [ "$(cat "$cache/wine-prefix.key" 2>/dev/null)" = "$key" ] && [ -e "$image" ]; then
    exit 0
fi
rm -f "$cache/wine-prefix.key" "$image"

new=$image.new
rm -f "$new"
trap 'rm -f "$new"' EXIT
truncate -s 2G "$new"
mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$new"
# No Mono, Gecko or debugger: nothing here asks for them. Making a prefix
# under emulation takes from under a minute to several on a loaded machine.
bash "$here/run.sh" "$cache" --prefix-rw "$new" --timeout 900 -- bash -c '
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
    /usr/lib/wine/wine wineboot --init && /usr/lib/wine/wineserver -w || exit 1
    # A pure 32-bit prefix: no 64-bit half, and a 32-bit kernel32.
    test ! -e "$WINEPREFIX/drive_c/windows/syswow64" &&
        test -e "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" &&
        grep -q "^#arch=win32" "$WINEPREFIX/system.reg"'
mv "$new" "$image"
echo "$key" >"$cache/wine-prefix.key"
echo "win32-vm: Wine prefix made: $image"
