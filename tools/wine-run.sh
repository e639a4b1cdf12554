#!/usr/bin/env bash
# Runs a Windows program under Wine, with Wine's loader for the program's
# kind: 32-bit programs need the wine32 loader, itself a 32-bit Linux
# program, which a kernel without IA-32 emulation cannot run. Then the run is
# skipped: exit status 77, as CTest's SKIP_RETURN_CODE expects.
# WINEPREFIX and WINEDEBUG come from the caller.
# Usage: tools/wine-run.sh PROGRAM.exe [ARGUMENT...]
set -euo pipefail
program=$1

loader=$("$(dirname "$0")/wine-loader.sh" "$program")
if ! "$loader" --version >/dev/null 2>&1; then
    echo "wine-run: skipped: this kernel cannot run $loader (no IA-32 emulation?)"
    exit 77
fi
# No Mono or Gecko: the prefix is made without asking for them.
export WINEDLLOVERRIDES="mscoree,mshtml="
exec "$loader" "$@"
