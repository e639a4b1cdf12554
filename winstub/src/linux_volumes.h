// How this Linux machine's file systems appear as Windows volumes: which
// mounts are volumes, their GUID names, mount points, labels, file-system
// names, flags and drive types.
#ifndef WINSTUB_LINUX_VOLUMES_H
#define WINSTUB_LINUX_VOLUMES_H

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linux_mount_table.h"
#include "linux_probes.h"
#include "winstub/windows.h"

namespace winstub::this_machine {

// Linux names are bytes, by convention UTF-8; Windows names are UTF-16. A
// byte that is not part of valid UTF-8 becomes a lone surrogate
// U+DC80..U+DCFF, as Python 3 does it, and ToLinux turns that back into the
// byte. ToLinux fails on any other lone surrogate.
std::u16string FromLinux(const std::string &text);
std::optional<std::string> ToLinux(const std::u16string &text);

// The Windows error code that stands for an errno value.
DWORD WindowsErrorFor(int error);

// File systems that hold no user files (proc, sysfs, cgroup, ...).
bool IsPseudoFileSystem(const std::string &fstype);
// Windows' name of a file system where Windows has one, else the Linux type.
// FAT is named by its width; empty when the width is not known (version empty).
std::u16string FileSystemName(const std::string &fstype, const std::string &version);
// The width of a FAT file system from its count of clusters, as Windows
// decides it: fewer than 65525 clusters is FAT12/FAT16.
std::u16string FatNameForClusters(uint64_t clusters);
// GetVolumeInformationW's flags from the type and the mount options.
DWORD FileSystemFlags(const std::string &fstype, const std::string &options);

// How every volume GUID path begins: \\?\Volume{GUID}\ .
constexpr std::u16string_view kGuidPathPrefix = u"\\\\?\\Volume{";

// One file system of the mount table as a volume.
struct Volume {
    std::u16string name;                       // \\?\Volume{GUID}\ .
    dev_t device = 0;                          // the st_dev of its files: the serial number
    std::vector<std::string> targets;          // mount directories, in table order
    std::vector<int> mount_ids;                // of the same mounts
    std::vector<std::u16string> mount_points;  // the targets with a trailing '/'
    std::u16string label;
    std::string fstype;         // the Linux type; for fuseblk the probed one
    std::u16string filesystem;  // as FileSystemName
    DWORD flags = 0;
    UINT drive_type = DRIVE_UNKNOWN;
    bool network = false;
    // Ask its file system only with a bounded wait: it may hang (MayHang), its
    // mount directories are reached through one that may, or its device
    // reads from one.
    bool may_hang = false;
    // A mount directory that showed this volume when the table was read (an
    // index into `targets`), where its statistics can be asked without
    // checking again; none for a volume that may hang.
    std::optional<size_t> shown_at;
};

// What the description asks of the system.
struct Environment {
    std::string root = "/";
    std::function<std::optional<DeviceFacts>(const std::string &node)> probe = ProbeDevice;
    // Where a mount directory leads; not asked of those that may hang.
    std::function<std::optional<Place>(const std::string &path)> place = PlaceOfPath;
    // Where a loop device's backing file lies; none: nowhere known, so that
    // every loop device is described from the table alone.
    LoopBacking loop_backing;
    // The user whose FUSE daemons are looked behind.
    uid_t user = geteuid();
};

// The volumes of a mount table, in table order: one per device number, pseudo
// file systems and device numbers beyond 32 bits left out. The device number
// is what stat reports at a mount directory when that directory shows this
// very mount (not another mounted over it), else the table's MAJ:MIN (also
// for file systems that may hang, which report that one, and for those that
// cannot be asked without asking one that may: a mount directory reached
// through a FUSE or network file system, a loop device whose backing file
// lies on one). GUIDs
// are the file system's UUID where it is one, else derived from it, or from
// the device number, source and type; each name is unique in the result.
std::vector<Volume> DescribeVolumes(const std::vector<Mount> &mounts, const Environment &environment);

// One mount of `mounts`, whose files have the device number `device`,
// whether or not DescribeVolumes would list it.
Volume DescribeMount(const std::vector<Mount> &mounts, const Mount &mount, dev_t device,
                     const Environment &environment);

}  // namespace winstub::this_machine

#endif  // WINSTUB_LINUX_VOLUMES_H
