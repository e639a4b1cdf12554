#!/usr/bin/env bash
# Runs a Windows program under Wine, with Wine's loader for the program's
# kind: 32-bit programs need the wine32 loader, itself a 32-bit Linux
# program, which a kernel without IA-32 emulation cannot run. Then the run is
# skipped: exit status 77, as CTest's SKIP_RETURN_CODE expects.
# WINEPREFIX and WINEDEBUG come from the caller.
# Usage: tools/wine-run.sh PROGRAM.exe [ARGUMENT...]
set -euo pipefail
program=$1

# The PE header's machine field: at the offset that the DOS header keeps at 0x3c, after "PE\0\0".
u32() { od -An -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }
u16() { od -An -t x2 -j "$2" -N 2 "$1" | tr -d ' '; }
machine=$(u16 "$program" $(($(u32 "$program" 60) + 4)))
case "$machine" in
    014c) loader=/usr/lib/wine/wine ;;
    8664) loader=/usr/lib/wine/wine64 ;;
    *) echo "wine-run: $program is no Windows program for x86 ($machine)" >&2; exit 2 ;;
esac
if [ ! -x "$loader" ]; then
    echo "wine-run: $loader is missing" >&2
    exit 2
fi
if ! "$loader" --version >/dev/null 2>&1; then
    echo "wine-run: skipped: this kernel cannot run $loader (no IA-32 emulation?)"
    exit 77
fi
# No Mono or Gecko: the prefix is made without asking for them.
export WINEDLLOVERRIDES="mscoree,mshtml="
exec "$loader" "$@"
