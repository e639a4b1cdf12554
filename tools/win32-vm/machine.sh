#!/usr/bin/env bash
# Makes the emulated machine of the 32-bit Windows leg into CACHE, once: the
# kernel of Debian's own linux-image-amd64 (it runs 32-bit programs: IA-32
# emulation), fetched with apt-get download and unpacked with dpkg-deb, and
# an initramfs of busybox-static, the kernel modules the guest needs (virtio
# PCI and disks, 9p over virtio, ext4), the few files of the host's /etc that
# the host's programs read, and the guest's init (init beside this script).
# The guest runs the host's own /usr, shared read-only.
# Keyed on the kernel package's version, busybox's, the files of this
# directory and those of /etc: a change of any makes the machine again.
# Usage: tools/win32-vm/machine.sh CACHE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
cache=$(cd "$1" && pwd)

ETC_FILES=(passwd group nsswitch.conf ld.so.cache)
MODULES=(virtio_pci virtio_blk 9pnet_virtio 9p ext4 crc32c_generic)

package=$(apt-cache depends linux-image-amd64 | awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ {print $2; exit}')
version=$(apt-cache policy "$package" | awk '$1 == "Candidate:" {print $2}')
if [ -z "$package" ] || [ -z "$version" ] || [ "$version" = "(none)" ]; then
    echo "win32-vm: no kernel package linux-image-amd64 to fetch" >&2
    exit 1
fi
key=$( {
    echo "$package $version"
    dpkg-query -W -f='${Version}\n' busybox-static
    cat "$here/machine.sh" "$here/init"
    for f in "${ETC_FILES[@]}"; do cat "/etc/$f"; done
} | sha256sum | cut -d' ' -f1)
if [ "$(cat "$cache/machine.key" 2>/dev/null)" = "$key" ] && [ -e "$cache/vmlinuz" ] && [ -e "$cache/initramfs.gz" ]; then
    exit 0
fi
rm -f "$cache/machine.key"

work=$(mktemp -d "$cache/machine.XXXXXX")
trap 'rm -rf "$work"' EXIT
deb=$cache/$package-$version.deb
if [ ! -e "$deb" ]; then
    rm -f "$cache"/linux-image-*.deb
    (cd "$work" && apt-get -qq -o APT::Sandbox::User=root download "$package=$version")
    mv "$work"/linux-image-*.deb "$deb"
fi
dpkg-deb -x "$deb" "$work/kernel"
release=${package#linux-image-}
modules_dir=$work/kernel/lib/modules/$release/kernel

# The modules in load order: each after those its .modinfo says it depends on.
declare -A module_path=() loaded=()
while IFS= read -r path; do
    name=$(basename "$path" .ko)
    module_path[${name//-/_}]=$path
done < <(find "$modules_dir" -name '*.ko')
order=()
load_after_dependencies() {
    local name=${1//-/_} dependency
    [ -n "${loaded[$name]:-}" ] && return
    loaded[$name]=1
    if [ -z "${module_path[$name]:-}" ]; then
        echo "win32-vm: kernel $release has no module $name" >&2
        exit 1
    fi
    for dependency in $(strings "${module_path[$name]}" | sed -n 's/^depends=//p' | tr ',' ' '); do
        load_after_dependencies "$dependency"
    done
    order+=("$name")
}
for module in "${MODULES[@]}"; do
    load_after_dependencies "$module"
done

root=$work/initramfs
mkdir -p "$root"/{busybox,modules,etc,proc,sys,dev,tmp,root,usr,host,wine-disk}
cp /usr/bin/busybox "$root/busybox/busybox"
for name in "${order[@]}"; do
    cp "${module_path[$name]}" "$root/modules/$name.ko"
done
printf '%s\n' "${order[@]}" >"$root/modules/load-order"
for f in "${ETC_FILES[@]}"; do
    cp "/etc/$f" "$root/etc/$f"
done
# A fontconfig configuration without fonts, so that Wine's finds one (and
# says nothing of it): nothing in the guest draws text.
mkdir -p "$root/etc/fonts"
echo '<fontconfig><cachedir>/tmp/fontconfig</cachedir></fontconfig>' >"$root/etc/fonts/fonts.conf"
# The host's merged /usr: /bin, /lib and the like are links into it.
for link in bin sbin lib lib32 lib64 libx32; do
    if [ -L "/$link" ]; then
        ln -s "$(readlink "/$link")" "$root/$link"
    fi
done
cp "$here/init" "$root/init"
chmod 755 "$root/init"
(cd "$root" && find . | busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$work/initramfs.gz"
mv "$work/initramfs.gz" "$cache/initramfs.gz"
cp "$work/kernel/boot/vmlinuz-$release" "$cache/vmlinuz"
echo "$key" >"$cache/machine.key"
echo "win32-vm: machine made: kernel $release ($version), modules ${order[*]}"
