#!/usr/bin/env bash
# Boots the 32-bit Windows leg's emulated machine (machine.sh makes it into
# CACHE) and runs one job in it: COMMAND with its arguments, under bash, in
# the current folder. The guest is an x86-64 Linux that runs 32-bit programs,
# under QEMU's emulation of the CPU (TCG: nothing here relies on KVM), so
# that the host's kernel need not run 32-bit programs itself.
#   --take PATH        a file or folder of the host (absolute) that the job
#                      needs, at the same path in the guest (repeated)
#   --prefix IMAGE     the ext4 disk of a Wine prefix (prefix.sh), attached so
#                      that the job's writes are thrown away (snapshot=on); the
#                      guest's WINEPREFIX is on it
#   --prefix-rw IMAGE  the same, written to (prefix.sh makes the prefix so)
#   --timeout SECONDS  the job's limit in the guest (default 600); the machine
#                      as a whole gets 180 s more for booting and stopping
# The job's output is printed as it comes ("Fontconfig error" lines of the
# guest's Wine, harmless, and the kernel's last word, left out); the exit status is the job's, 124 if it
# ran out of time, and 125 if the machine failed before or around it.
# Usage: tools/win32-vm/run.sh CACHE [OPTION]... -- COMMAND [ARGUMENT...]
set -euo pipefail
cache=$(cd "$1" && pwd)
shift
take=() disk="" disk_mode="" job_timeout=600
while [ $# -gt 0 ]; do
    case "$1" in
        --take) take+=("${2#/}"); shift 2 ;;
        --prefix) disk=$2 disk_mode=snapshot; shift 2 ;;
        --prefix-rw) disk=$2 disk_mode=rw; shift 2 ;;
        --timeout) job_timeout=$2; shift 2 ;;
        --) shift; break ;;
        *) echo "win32-vm: unknown option $1" >&2; exit 2 ;;
    esac
done
[ $# -gt 0 ] || { echo "win32-vm: no command" >&2; exit 2; }
for file in vmlinuz initramfs.gz; do
    if [ ! -e "$cache/$file" ]; then
        echo "win32-vm: $cache/$file is missing (tools/win32-vm/machine.sh makes it)" >&2
        exit 125
    fi
done
if [ -n "$disk" ] && [ ! -e "$disk" ]; then
    echo "win32-vm: the prefix's disk $disk is missing (tools/win32-vm/prefix.sh makes it)" >&2
    exit 125
fi
machine_timeout=$((job_timeout + 180))

run=$(mktemp -d "$cache/run.XXXXXX")
qemu_pid=""
cleanup() {
    if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
        kill "$qemu_pid" 2>/dev/null || true
        wait "$qemu_pid" 2>/dev/null || true
    fi
    rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

{
    echo "GUEST_TIMEOUT=$job_timeout"
    echo "WINE_DISK=$([ -n "$disk" ] && echo yes || echo no)"
} >"$run/settings"
{
    printf 'mkdir -p %q && cd %q || exit 125\n' "$PWD" "$PWD"
    printf 'exec'
    printf ' %q' "$@"
    printf '\n'
} >"$run/job"
if [ ${#take[@]} -gt 0 ]; then
    tar -cf "$run/tree.tar" -C / "${take[@]}"
else
    tar -cf "$run/tree.tar" -T /dev/null
fi
: >"$run/console"

drive=()
case "$disk_mode" in
    snapshot) drive=(-drive "file=$disk,format=raw,if=virtio,snapshot=on") ;;
    rw) drive=(-drive "file=$disk,format=raw,if=virtio") ;;
esac
# qemu64, not max: with max, every Wine process crashes (the emulation of
# returning from an interrupt with SMAP on).
timeout -k 10 "$machine_timeout" qemu-system-x86_64 -accel tcg,thread=multi -cpu qemu64 -smp 2 -m 2048 \
    -nodefaults -display none -no-reboot -monitor none -serial "file:$run/console" \
    -kernel "$cache/vmlinuz" -initrd "$cache/initramfs.gz" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1" \
    -virtfs "local,path=/usr,mount_tag=usr,security_model=none,readonly=on" \
    -virtfs "local,path=$run,mount_tag=run,security_model=none" \
    "${drive[@]}" </dev/null &
qemu_pid=$!
# In the background too: a signal to this script is handled at once (the
# trap ends the machine) rather than once a foreground pipeline is done.
tail -n +1 -F --pid="$qemu_pid" "$run/console" 2>/dev/null | tr -d '\r' |
    grep --line-buffered -v -e '^Fontconfig error' -e '^\[ *[0-9.]*\] reboot: Power down$' &
printer_pid=$!
machine_status=0
wait "$qemu_pid" || machine_status=$?
qemu_pid=""
wait "$printer_pid" || true
if [ ! -s "$run/status" ]; then
    if [ "$machine_status" = 124 ]; then
        echo "win32-vm: the machine did not stop within $machine_timeout s" >&2
    else
        echo "win32-vm: the machine stopped (status $machine_status) without the job's status" >&2
    fi
    exit 125
fi
exit "$(cat "$run/status")"
