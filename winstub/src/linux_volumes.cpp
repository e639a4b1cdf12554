#include "linux_volumes.h"

#include "linux_fuse_daemons.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace winstub::this_machine {

namespace {

template <typename Names>
bool OneOf(std::string_view value, const Names &names) {
    return std::find(std::begin(names), std::end(names), value) != std::end(names);
}

bool OneOf(std::string_view value, std::initializer_list<std::string_view> names) {
    return OneOf<std::initializer_list<std::string_view>>(value, names);
}

// Hold no user files.
constexpr std::string_view kPseudoTypes[] = {
    "proc",       "sysfs",      "cgroup",      "cgroup2",         "devpts",    "mqueue",    "debugfs",    "tracefs",
    "securityfs", "pstore",     "bpf",         "configfs",        "fusectl",   "hugetlbfs", "autofs",     "binfmt_misc",
    "nsfs",       "devtmpfs",   "efivarfs",    "rpc_pipefs",      "selinuxfs", "smackfs",   "apparmorfs", "nfsd",
    "cpuset",     "sockfs",     "pipefs",      "anon_inodefs",    "rootfs",    "binder",    "ipathfs",    "usbfs",
    "spufs",      "fuse.lxcfs", "fuse.portal", "fuse.gvfsd-fuse",
};

}  // namespace

std::u16string FromLinux(const std::string &text) {
    std::u16string result;
    // Never more UTF-16 units than bytes; most names are ASCII.
    result.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            result += static_cast<char16_t>(lead);
            ++i;
            continue;
        }
        size_t length = 0;
        char32_t code = 0;
        char32_t minimum = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
            minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
            minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
            minimum = 0x10000;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        valid = valid && code >= minimum && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (!valid) {
            result += static_cast<char16_t>(0xDC00 + lead);
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            result += static_cast<char16_t>(0xD800 + (code >> 10));
            result += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            result += static_cast<char16_t>(code);
        }
        i += length;
    }
    return result;
}

std::optional<std::string> ToLinux(const std::u16string &text) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (code >= 0xDC80 && code <= 0xDCFF) {
            result += static_cast<char>(code - 0xDC00);
            continue;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            return std::nullopt;
        }
        if (code < 0x80) {
            result += static_cast<char>(code);
        } else if (code < 0x800) {
            result += static_cast<char>(0xC0 | (code >> 6));
            result += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            result += static_cast<char>(0xE0 | (code >> 12));
            result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (code >> 18));
            result += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return result;
}

DWORD WindowsErrorFor(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ETIMEDOUT:
            return ERROR_SEM_TIMEOUT;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        default:
            // EIO, ENOTCONN, ESTALE, ENOMEDIUM and the like: the device or
            // the server does not answer.
            return ERROR_NOT_READY;
    }
}

bool IsPseudoFileSystem(const std::string &fstype) {
    return OneOf(fstype, kPseudoTypes);
}

std::u16string FileSystemName(const std::string &fstype, const std::string &version) {
    if (fstype == "vfat" || fstype == "msdos") {
        if (version == "FAT32") {
            return u"FAT32";
        }
        return version == "FAT12" || version == "FAT16" ? u"FAT" : u"";
    }
    if (fstype == "exfat") {
        return u"exFAT";
    }
    if (fstype == "ntfs" || fstype == "ntfs3") {
        return u"NTFS";
    }
    if (fstype == "udf") {
        return u"UDF";
    }
    if (fstype == "iso9660") {
        return u"CDFS";
    }
    return FromLinux(fstype);
}

std::u16string FatNameForClusters(uint64_t clusters) {
    constexpr uint64_t kFirstFat32Count = 65525;
    return clusters < kFirstFat32Count ? u"FAT" : u"FAT32";
}

DWORD FileSystemFlags(const std::string &fstype, const std::string &options) {
    // What Linux file systems have in common: names are case-sensitive byte
    // strings, kept as given; symbolic links stand for reparse points.
    constexpr DWORD kCase = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES;
    constexpr DWORD kPosix = kCase | FILE_SUPPORTS_HARD_LINKS | FILE_SUPPORTS_REPARSE_POINTS;
    constexpr DWORD kDisk = kPosix | FILE_PERSISTENT_ACLS | FILE_SUPPORTS_SPARSE_FILES |
                            FILE_SUPPORTS_EXTENDED_ATTRIBUTES | FILE_SUPPORTS_OPEN_BY_FILE_ID;
    // Windows' own flags for its FAT family.
    constexpr DWORD kFat = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;

    DWORD flags = kCase;
    if (OneOf(fstype, {"ext4", "f2fs"})) {
        flags = kDisk | FILE_SUPPORTS_ENCRYPTION;
    } else if (OneOf(fstype, {"btrfs", "zfs", "bcachefs"})) {
        flags = kDisk | FILE_FILE_COMPRESSION;
    } else if (OneOf(fstype, {"ext2", "ext3", "xfs", "jfs", "reiserfs", "nilfs2", "ocfs2", "gfs2"})) {
        flags = kDisk;
    } else if (OneOf(fstype, {"tmpfs"})) {
        flags = kPosix | FILE_PERSISTENT_ACLS | FILE_SUPPORTS_SPARSE_FILES | FILE_SUPPORTS_EXTENDED_ATTRIBUTES;
    } else if (OneOf(fstype, {"overlay", "ramfs", "nfs", "nfs4", "9p", "virtiofs", "ceph"})) {
        flags = kPosix;
    } else if (OneOf(fstype, {"squashfs", "erofs", "cramfs"})) {
        flags = kPosix | FILE_VOLUME_IS_COMPRESSED;
    } else if (OneOf(fstype, {"vfat", "exfat"})) {
        flags = kFat;
    } else if (OneOf(fstype, {"msdos"})) {
        flags = 0;  // 8.3 names, folded to one case
    } else if (OneOf(fstype, {"ntfs", "ntfs3"})) {
        flags = kPosix | FILE_UNICODE_ON_DISK | FILE_SUPPORTS_SPARSE_FILES;
    } else if (OneOf(fstype, {"cifs", "smb3", "smbfs"})) {
        // The server decides; Windows servers compare names without case.
        flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    } else if (OneOf(fstype, {"udf", "iso9660"})) {
        flags = kCase | FILE_UNICODE_ON_DISK;
    }

    // One pass over the options, however many are asked about.
    const std::vector<std::string_view> names = OptionNames(options);
    auto named = [&names](std::initializer_list<std::string_view> wanted) {
        return std::find_first_of(names.begin(), names.end(), wanted.begin(), wanted.end()) != names.end();
    };
    if (named({"ro"})) {
        flags |= FILE_READ_ONLY_VOLUME;
    }
    if (named({"quota", "usrquota", "grpquota", "prjquota", "uquota", "gquota", "pquota", "usrjquota", "grpjquota"})) {
        flags |= FILE_VOLUME_QUOTAS;
    }
    if (named({"compress", "compress-force"})) {
        flags |= FILE_VOLUME_IS_COMPRESSED;
    }
    if (named({"noacl"})) {
        flags &= ~FILE_PERSISTENT_ACLS;
    }
    if (named({"nouser_xattr"})) {
        flags &= ~FILE_SUPPORTS_EXTENDED_ATTRIBUTES;
    }
    if (named({"nocase", "ignorecase"})) {
        flags &= ~FILE_CASE_SENSITIVE_SEARCH;
    }
    return flags;
}

namespace {

// A GUID in Windows' spelling (lower case, no braces) when `uuid` is one.
std::optional<std::string> CanonicalGuid(const std::string &uuid) {
    if (uuid.size() != 36) {
        return std::nullopt;
    }
    std::string guid;
    for (size_t i = 0; i < uuid.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const unsigned char c = static_cast<unsigned char>(uuid[i]);
        if (dash ? c != '-' : !std::isxdigit(c)) {
            return std::nullopt;
        }
        guid += static_cast<char>(std::tolower(c));
    }
    return guid;
}

// A version-8 GUID made of the 128-bit FNV-1a hash of `key`: stable across
// runs and machines for the same key.
std::string HashedGuid(const std::string &key) {
    // The hash as two 64-bit halves (32-bit builds have no 128-bit integers).
    uint64_t high = 0x6c62272e07bb0142u;
    uint64_t low = 0x62b821756295c58du;
    constexpr uint64_t kPrimeLow = 0x13B;  // the prime is 2^88 + 0x13B
    for (char c : key) {
        low ^= static_cast<unsigned char>(c);
        // hash * 0x13B + (hash << 88), modulo 2^128; the carry out of the
        // low half's product taken from its 32-bit halves.
        const uint64_t low_product_carry = ((low >> 32) * kPrimeLow + (((low & 0xFFFFFFFFu) * kPrimeLow) >> 32)) >> 32;
        high = high * kPrimeLow + low_product_carry + (low << 24);
        low *= kPrimeLow;
    }
    unsigned char bytes[16];
    for (size_t i = 0; i < 8; ++i) {
        bytes[i] = static_cast<unsigned char>(high >> (56 - 8 * i));
        bytes[8 + i] = static_cast<unsigned char>(low >> (56 - 8 * i));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x80);  // version 8
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC variant
    // Spelt out by hand: snprintf's format machinery costs more than the hash
    // for every volume of a large table.
    constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

std::string DeviceText(dev_t device) {
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// The GUID of a volume: its UUID, else one derived from it, else one derived
// from what identifies a file system without one. One that is `taken`
// already (the same UUID on two volumes: btrfs subvolumes, cloned disks) is
// derived again with the device number.
std::string VolumeGuid(const std::string &uuid, const Volume &volume, const Mount &mount,
                       const std::unordered_set<std::string> &taken) {
    std::string guid;
    if (!uuid.empty()) {
        std::optional<std::string> canonical = CanonicalGuid(uuid);
        guid = canonical ? *canonical : HashedGuid("uuid\n" + volume.fstype + "\n" + uuid);
        if (taken.count(guid)) {
            guid = HashedGuid("uuid\n" + volume.fstype + "\n" + uuid + "\ndevice\n" + DeviceText(volume.device));
        }
    } else {
        guid = HashedGuid("device\n" + DeviceText(volume.device) + "\nsource\n" + mount.source + "\ntype\n" +
                          mount.fstype);
    }
    // A hash collision: keep names unique all the same.
    for (int salt = 1; taken.count(guid); ++salt) {
        guid = HashedGuid(guid + "\n" + std::to_string(salt));
    }
    return guid;
}

std::u16string MountPoint(const std::string &target) {
    std::u16string point = FromLinux(target);
    if (point.empty() || point.back() != u'/') {
        point += u'/';
    }
    return point;
}

bool FitsSerial(dev_t device) {
    return device <= std::numeric_limits<DWORD>::max();
}

// Describes `mount`; also tells its UUID, of which the GUID is made. With
// `daemons`, a FUSE file system whose source names no device is looked for
// behind its daemon. A `slow` mount is one that cannot be asked about
// without asking a file system that may hang.
Volume Describe(const Mount &mount, dev_t device, bool slow, const Environment &environment,
                const DeviceFiles &files, const FuseDaemons *daemons, const MountFacts &table, std::string &uuid) {
    Volume volume;
    volume.device = device;
    volume.targets = {mount.target};
    volume.mount_ids = {mount.id};
    volume.mount_points = {MountPoint(mount.target)};
    volume.network = IsNetworkMount(mount);
    volume.may_hang = MayHang(mount) || slow;
    volume.fstype = mount.fstype;

    std::optional<dev_t> block = table.Block(mount);
    std::optional<Backing> backing;
    if (!block && daemons && IsFuse(mount) && !volume.network && MountedBy(mount, environment.user)) {
        backing = FuseBacking(mount, environment.probe, files, *daemons, table);
        block = backing ? backing->block : std::nullopt;
    }
    DeviceFacts facts;
    if (block) {
        if (std::optional<std::string> node = files.Node(*block)) {
            // A device that reads from a file system that may hang is
            // described by udev's links alone.
            std::optional<DeviceFacts> probed =
                table.ReadsFromSlow(*block) ? std::nullopt : environment.probe(*node);
            facts = probed ? *probed : files.LinkedFacts(*node);
        }
        volume.may_hang = volume.may_hang || table.ReadsFromSlow(*block);
    } else if (backing && backing->image) {
        facts = backing->facts;
    }
    // A FUSE driver's file system is what its device or image holds.
    if (IsFuse(mount) && !facts.type.empty()) {
        volume.fstype = facts.type;
    }
    uuid = facts.uuid;
    volume.label = FromLinux(facts.label);
    volume.filesystem = FileSystemName(volume.fstype, facts.version);
    volume.flags = FileSystemFlags(volume.fstype, mount.vfs_options + "," + mount.fs_options);

    if (OneOf(mount.fstype, {"tmpfs", "ramfs"})) {
        volume.drive_type = DRIVE_RAMDISK;
    } else if (volume.network) {
        volume.drive_type = DRIVE_REMOTE;
    } else if (OneOf(volume.fstype, {"iso9660", "udf"}) || (block && files.Optical(*block))) {
        volume.drive_type = DRIVE_CDROM;
    } else if (block) {
        volume.drive_type = files.Removable(*block) ? DRIVE_REMOVABLE : DRIVE_FIXED;
    } else if (backing && backing->image) {
        volume.drive_type = DRIVE_FIXED;  // a disk image, as Windows has a mounted VHD
    } else {
        // Windows answers a type for every root that exists: a local file
        // system of no device of its own (overlay, a local FUSE driver, /proc)
        // is a fixed one.
        volume.drive_type = DRIVE_FIXED;
    }
    return volume;
}

std::u16string GuidPath(const std::string &guid) {
    std::u16string path;
    path.reserve(kGuidPathPrefix.size() + guid.size() + 2);
    path += kGuidPathPrefix;
    path += FromLinux(guid);
    path += u"}\\";
    return path;
}

}  // namespace

Volume DescribeMount(const std::vector<Mount> &mounts, const Mount &mount, dev_t device,
                     const Environment &environment) {
    const DeviceFiles files(environment.root);
    const MountFacts table(mounts, files, environment.loop_backing);
    std::string uuid;
    Volume volume = Describe(mount, device, table.ReachedSlowly(mount), environment, files, nullptr, table, uuid);
    volume.name = GuidPath(VolumeGuid(uuid, volume, mount, {}));
    return volume;
}

std::vector<Volume> DescribeVolumes(const std::vector<Mount> &mounts, const Environment &environment) {
    const DeviceFiles files(environment.root);
    const FuseDaemons daemons(environment.root, environment.user);
    const MountFacts table(mounts, files, environment.loop_backing);
    std::vector<Volume> volumes;
    std::unordered_map<dev_t, size_t> by_device;
    std::unordered_set<std::string> guids;
    volumes.reserve(mounts.size());
    by_device.reserve(mounts.size());
    guids.reserve(mounts.size());
    for (const Mount &mount : mounts) {
        if (IsPseudoFileSystem(mount.fstype)) {
            continue;
        }
        // Nothing that may wait for a FUSE daemon or a server is asked here.
        const bool slow = table.ReachedSlowly(mount) || table.Hangs(mount);
        dev_t device = mount.device;
        bool shown = false;
        if (!slow) {
            std::optional<Place> place = environment.place(mount.target);
            shown = place && (place->has_mount_id ? place->mount_id == static_cast<uint64_t>(mount.id)
                                                  : place->device == mount.device);
            if (shown) {
                device = place->device;
            }
        }
        if (!FitsSerial(device)) {
            continue;
        }
        if (auto known = by_device.find(device); known != by_device.end()) {
            Volume &volume = volumes[known->second];
            if (shown && !volume.shown_at && !volume.may_hang) {
                volume.shown_at = volume.targets.size();
            }
            volume.targets.push_back(mount.target);
            volume.mount_ids.push_back(mount.id);
            volume.mount_points.push_back(MountPoint(mount.target));
            continue;
        }
        std::string uuid;
        Volume volume = Describe(mount, device, slow, environment, files, &daemons, table, uuid);
        if (shown && !volume.may_hang) {
            volume.shown_at = 0;
        }
        const std::string guid = VolumeGuid(uuid, volume, mount, guids);
        guids.insert(guid);
        volume.name = GuidPath(guid);
        by_device.emplace(device, volumes.size());
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

}  // namespace winstub::this_machine
