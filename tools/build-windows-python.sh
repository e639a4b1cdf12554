#!/usr/bin/env bash
# Builds Python 2.7 for Windows with MinGW-w64 from Debian's bullseye
# python2.7 source package (the one tools/python-source.sh fetched into
# SOURCE_DIR), without Debian's patch series (it is for Debian's Linux build).
# Installs into PREFIX: python27.dll, libs/libpython27.dll.a (the import
# library of the DLL's own exports) and libs/python27.def, and with
# PROGRAMS=yes python.exe, DLLs/*.pyd and Lib/.
# Does nothing when PREFIX already holds a complete build of the same inputs
# (this script, tools/windows-python.mk and the source package, whose key the
# stamp file keeps): a second run does not rebuild it, a changed input does.
# Usage: tools/build-windows-python.sh SOURCE_DIR BUILD_DIR PREFIX x86_64|i686 [yes|no]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$1" && pwd)
build_dir=$2
mkdir -p "$3"; prefix=$(cd "$3" && pwd)
target=$4
programs=${5:-yes}
stamp=$prefix/.complete-$target-$programs
dsc=$(ls "$source_dir"/python2.7_*.dsc)
tree_key=$( { cat "$here/build-windows-python.sh"; basename "$dsc"; } | sha256sum | cut -d' ' -f1)
key=$( { echo "$tree_key"; cat "$here/windows-python.mk"; } | sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" = "$key" ]; then
    exit 0
fi
rm -f "$stamp"

mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
tree=$build_dir/tree
if [ "$(cat "$tree/.adjusted" 2>/dev/null)" != "$tree_key" ]; then
    rm -rf "$tree" "${build_dir:?}/$target"
    # Upstream tarball plus Debian's diff (format 1.0); no patch series.
    (cd "$build_dir" && dpkg-source -x "$dsc" tree) >&2
    cd "$tree"
    # What MinGW needs, all small:
    # - posixmodule.c: the Microsoft compiler's branches (Windows' own
    #   functions, not the POSIX ones this C library lacks);
    sed -i -e 's/^#ifdef _MSC_VER\b/#if defined(_MSC_VER) || defined(__MINGW32__)/' \
        -e 's/^#ifndef _MSC_VER\b/#if !defined(_MSC_VER) \&\& !defined(__MINGW32__)/' \
        -e 's/( defined(__WATCOMC__) || defined(_MSC_VER) )/( defined(__WATCOMC__) || defined(_MSC_VER) || defined(__MINGW32__) )/' \
        -e 's/^#elif !defined(_MSC_VER) \&\&/#elif !defined(_MSC_VER) \&\& !defined(__MINGW32__) \&\&/' \
        -e 's/^#if (defined(_MSC_VER) ||/#if (defined(_MSC_VER) || defined(__MINGW32__) ||/' \
        Modules/posixmodule.c
    # - dynload_win.c's own strcasecmp clashes with MinGW's;
    sed -i 's/\bstrcasecmp\b/dynload_strcasecmp/g' Python/dynload_win.c
    # - header names in lower case, as MinGW installs them;
    sed -i 's/#include <Windows.h>/#include <windows.h>/' Modules/signalmodule.c
    sed -i 's/include <MSTcpIP.h>/include <mstcpip.h>/' Modules/socketmodule.h
    # - select: sockets are handles (SOCKET), as with the Microsoft compiler;
    sed -i 's/^#if defined(_MSC_VER)$/#if defined(_MSC_VER) || defined(__MINGW32__)/' Modules/selectmodule.c
    # - the socket module uses MinGW's own addrinfo (ws2tcpip.h), not Python's;
    sed -i 's/^#elif defined(_MSC_VER) \&\& _MSC_VER>1201$/#elif (defined(_MSC_VER) \&\& _MSC_VER>1201) || defined(__MINGW32__)/' \
        Modules/socketmodule.c
    # - errno: the POSIX codes (100 and above) that MinGW's errno.h has and
    #   the 2008 runtime lacks are left out, so that EWOULDBLOCK is
    #   WSAEWOULDBLOCK (10035) as in the official build.
    for name in EADDRINUSE EADDRNOTAVAIL EAFNOSUPPORT EALREADY ECONNABORTED ECONNREFUSED ECONNRESET \
        EDESTADDRREQ EHOSTUNREACH EINPROGRESS EISCONN ELOOP EMSGSIZE ENETDOWN ENETRESET ENETUNREACH ENOBUFS \
        ENOPROTOOPT ENOTCONN ENOTSOCK EOPNOTSUPP EPROTONOSUPPORT EPROTOTYPE ETIMEDOUT EWOULDBLOCK ECANCELED \
        EOWNERDEAD ENOTRECOVERABLE EOVERFLOW ETXTBSY ENODATA ENOSR ENOSTR ETIME EBADMSG EIDRM ENOLINK ENOMSG \
        EPROTO ENOTSUP EOTHER; do
        sed -i "s/^#ifdef $name\$/#if defined($name) \&\& $name < 100/" Modules/errnomodule.c
    done
    # - libffi's win64.S loads the address of ffi_closure_win64_inner as a
    #   32-bit immediate, which a DLL cannot relocate: load it relative to
    #   the instruction pointer.
    sed -i 's/^\tmov\t\$SYMBOL_NAME(ffi_closure_win64_inner), %rax$/\tleaq\tSYMBOL_NAME(ffi_closure_win64_inner)(%rip), %rax/' \
        Modules/_ctypes/libffi/src/x86/win64.S
    grep -q 'leaq.*ffi_closure_win64_inner)(%rip)' Modules/_ctypes/libffi/src/x86/win64.S
    # - callproc.c takes the stack delta that libffi_msvc's ffi_call returns;
    #   libffi's own returns nothing (and checks the stack itself).
    sed -i 's/^        delta =$/        delta = 0;/' Modules/_ctypes/callproc.c
    #   And small structures are returned in registers by libffi's own rules,
    #   not by the Microsoft compiler's trick.
    sed -i 's/^#if defined(MS_WIN32) \&\& !defined(_WIN32_WCE)$/#if defined(MS_WIN32) \&\& !defined(_WIN32_WCE) \&\& !defined(__MINGW32__)/' \
        Modules/_ctypes/callproc.c
    echo "$tree_key" >.adjusted
fi

make --no-print-directory -f "$here/windows-python.mk" -j "${JOBS:-2}" TREE="$tree" OUT="$build_dir/$target" PREFIX="$prefix" \
    TARGET="$target" PROGRAMS="$programs"
echo "$key" >"$stamp"
