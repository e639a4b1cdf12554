#!/usr/bin/env bash
# Gives a Wine prefix one more drive: LETTER: on the Linux folder DIR, with
# the volume label and serial number (hexadecimal) that Wine's mount manager
# reads from DIR/.windows-label and DIR/.windows-serial. Makes the prefix
# when it does not exist yet, and stops its wineserver, so that the next
# Windows program starts a mount manager that knows the drive.
# LOADER (optional): the Wine loader of the programs the drive is for; where
# this kernel cannot run it (the 32-bit one without IA-32 emulation), nothing
# is done, as nothing will run there.
# Usage: tools/wine-drive.sh PREFIX LETTER DIR LABEL SERIAL [LOADER]
set -euo pipefail
prefix=$1 letter=$2 dir=$3 label=$4 serial=$5 loader=${6:-/usr/lib/wine/wine64}
if ! "$loader" --version >/dev/null 2>&1; then
    echo "wine-drive: skipped: this kernel cannot run $loader"
    exit 0
fi
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
if [ ! -e "$prefix/system.reg" ]; then
    /usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1
fi
mkdir -p "$dir"
printf '%s\n' "$label" >"$dir/.windows-label"
printf '%s\n' "$serial" >"$dir/.windows-serial"
link=$prefix/dosdevices/${letter,,}:
if [ "$(readlink "$link" 2>/dev/null)" != "$dir" ]; then
    ln -sfn "$dir" "$link"
fi
/usr/lib/wine/wineserver -k 2>/dev/null || true
/usr/lib/wine/wineserver -w 2>/dev/null || true
echo "wine-drive: ${letter^^}: is $dir, label '$label', serial $serial"
