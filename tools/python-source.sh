#!/usr/bin/env bash
# Unpacks Debian's python2.7 source package from bullseye into DIR, with
# Debian's patches applied and configure regenerated, as Debian's own build
# does before it configures. Prints the path of the source tree.
# Does nothing but print the path when DIR already holds it.
# Usage: tools/python-source.sh DIR
set -euo pipefail
dir=$1
tree=$dir/tree
if [ -e "$tree/.patched" ]; then
    echo "$tree"
    exit 0
fi

mkdir -p "$dir"
rm -rf "$tree"
(
    cd "$dir"
    rm -f python2.7_*
    # The package's own unpacking (upstream tarball plus Debian's diff); its
    # patch series is applied by Debian's build, below.
    apt-get source -qq --download-only python2.7/bullseye
    dpkg-source -x python2.7_*.dsc tree
) >&2

cd "$tree"
# Debian's debian/rules selects the series for the architecture with cpp.
# Lines that start with "# " are comments, not directives.
arch=$(dpkg --print-architecture)
grep -v '^# ' debian/patches/series.in |
    cpp -E -P -Ddebian -Darch_os_linux "-Darch_$arch" - |
    grep -Ev '^[[:space:]]*$' >debian/patches/series
while read -r patch; do
    patch -p1 -s -N --no-backup-if-mismatch <"debian/patches/$patch"
done <debian/patches/series
rm -rf autom4te.cache configure
autoconf 2>/dev/null
touch .patched
echo "$tree"
