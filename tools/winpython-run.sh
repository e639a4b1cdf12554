#!/usr/bin/env bash
# Runs a Windows Python 2.7 (tools/build-windows-python.sh) under Wine, with
# the loader for its kind (wine64, or the 32-bit wine in the 32-bit Windows
# leg's emulated machine), as a Linux interpreter would be run: arguments
# that are absolute Linux paths, and the colon-separated PYTHONPATH of Linux
# paths, are handed to it as Windows paths on Wine's drive Z: (the prefix
# maps Z: to /). DLL_PATH, a colon-separated list of Linux directories, goes
# to Windows' PATH, where the loader finds the DLLs a module imports from.
# WINEPREFIX comes from the caller; no Mono, Gecko or debugger is set up.
# Usage: tools/winpython-run.sh PYTHON.exe [ARGUMENT...]
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix to run in}"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
program=$1
shift
loader=$("$(dirname "$0")/wine-loader.sh" "$program")

windows_path() {  # /a/b -> Z:\a\b; a relative path is taken from the current directory
    local path=$1
    [[ "$path" == /* ]] || path=$PWD/$path
    path=${path//\//\\}
    printf 'Z:%s' "$path"
}
windows_path_list() {  # /a:/b -> Z:\a;Z:\b
    local entry out=""
    local IFS=:
    for entry in $1; do
        [ -n "$entry" ] || continue
        out+="${out:+;}$(windows_path "$entry")"
    done
    printf '%s' "$out"
}

arguments=()
for argument in "$@"; do
    if [[ "$argument" == /* ]] && [ -e "$argument" ]; then
        arguments+=("$(windows_path "$argument")")
    else
        arguments+=("$argument")
    fi
done
if [ -n "${PYTHONPATH:-}" ]; then
    PYTHONPATH=$(windows_path_list "$PYTHONPATH")
    export PYTHONPATH
fi
if [ -n "${DLL_PATH:-}" ]; then
    WINEPATH=$(windows_path_list "$DLL_PATH")
    export WINEPATH
fi
exec "$loader" "$program" "${arguments[@]}"
