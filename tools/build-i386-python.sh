#!/usr/bin/env bash
# Makes DIR/python2.7, the interpreter of the 32-bit (i386) test leg: a
# program of our own around Debian's i386 libpython2.7 (whose python2.7
# program cannot be installed beside the 64-bit one).
# Where the kernel runs no 32-bit programs (x86-64 kernels may be built or
# booted without IA-32 emulation), DIR/python2.7 is a script that runs the
# same program under QEMU's user-mode emulation of i386 Linux. The program
# then gets that script as its argv[0], so the interpreter names the script
# as sys.executable and the processes it starts are 32-bit too.
# DIR/run-i386 runs any 32-bit program of the leg (test programs), natively
# or emulated alike.
# Usage: tools/build-i386-python.sh DIR
set -euo pipefail
source=$(realpath "$(dirname "$0")/python-launcher.c")
mkdir -p "$1"
dir=$(realpath "$1")
program=$dir/python2.7-i386
interpreter=$dir/python2.7

gcc -m32 -O2 -Wall -Wextra -Werror -DPYTHON_HOME='"/usr"' -I/usr/include/python2.7 \
    -o "$program" "$source" -L/usr/lib/i386-linux-gnu -lpython2.7

runner=$dir/run-i386
rm -f "$interpreter" "$runner"
if "$program" -c pass 2>/dev/null; then
    ln -s python2.7-i386 "$interpreter"
    printf '#!/bin/sh\nexec "$@"\n' >"$runner"
else
    if ! command -v qemu-i386 >/dev/null; then
        echo "build-i386-python: this kernel runs no 32-bit programs and qemu-i386 is missing" >&2
        exit 1
    fi
    cat >"$interpreter" <<SCRIPT
#!/bin/sh
# This kernel runs no 32-bit programs: the i386 interpreter runs under
# user-mode emulation, with this script as its name (sys.executable).
exec qemu-i386 -L / -0 "\$0" "$program" "\$@"
SCRIPT
    printf '#!/bin/sh\nexec qemu-i386 -L / "$@"\n' >"$runner"
fi
chmod +x "$interpreter" "$runner"
test "$("$interpreter" -c 'import struct; print struct.calcsize("P") * 8')" = 32
