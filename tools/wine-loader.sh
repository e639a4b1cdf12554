#!/usr/bin/env bash
# Prints the Wine loader for a Windows program's kind, read from its PE
# header: /usr/lib/wine/wine for 32-bit programs (itself a 32-bit Linux
# program), /usr/lib/wine/wine64 for 64-bit ones; exit status 2 when it is
# not installed.
# Usage: tools/wine-loader.sh PROGRAM.exe
set -euo pipefail
program=$1
# The PE header's machine field: at the offset that the DOS header keeps at 0x3c, after "PE\0\0".
u32() { od -An -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }
u16() { od -An -t x2 -j "$2" -N 2 "$1" | tr -d ' '; }
machine=$(u16 "$program" $(($(u32 "$program" 60) + 4)))
case "$machine" in
    014c) loader=/usr/lib/wine/wine ;;
    8664) loader=/usr/lib/wine/wine64 ;;
    *) echo "wine-loader: $program is no Windows program for x86 ($machine)" >&2; exit 2 ;;
esac
if [ ! -x "$loader" ]; then
    echo "wine-loader: $loader is missing" >&2
    exit 2
fi
echo "$loader"
