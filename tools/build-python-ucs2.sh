#!/usr/bin/env bash
# Builds CPython 2.7 whose unicode is UTF-16 (--enable-unicode=ucs2, the
# layout of the Windows builds) from Debian's source tree, unoptimised so
# that it builds quickly, and installs it into PREFIX. Does nothing when
# PREFIX already holds such an interpreter.
# Usage: tools/build-python-ucs2.sh SOURCE_TREE BUILD_DIR PREFIX
set -euo pipefail
source_tree=$(realpath "$1")
build_dir=$2
prefix=$(realpath -m "$3")
jobs=${JOBS:-2}

python=$prefix/bin/python2.7
if [ -x "$python" ] && [ "$("$python" -c 'import sys; print sys.maxunicode')" = 65535 ]; then
    exit 0
fi

rm -rf "$build_dir" "$prefix"
mkdir -p "$build_dir"
cd "$build_dir"
# Debian's patches assume its multiarch layout; the interpreter still
# installs as a plain prefix.
"$source_tree/configure" --prefix="$prefix" --enable-unicode=ucs2 --without-ensurepip \
    OPT="-O0" >configure.log
make -j"$jobs" >make.log 2>&1 || { tail -n 40 make.log >&2; exit 1; }
make install >install.log 2>&1 || { tail -n 40 install.log >&2; exit 1; }
test "$("$python" -c 'import sys; print sys.maxunicode')" = 65535
