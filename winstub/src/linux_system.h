// What this Linux machine tells about its file systems: the mount table
// (libmount), superblock probes (libblkid), the block-device files of sysfs
// and /dev, and the kernel's answers about a path or an open file. Files are
// read under a root directory ("/" for the machine itself) so that the same
// code reads fixture trees.
#ifndef WINSTUB_LINUX_SYSTEM_H
#define WINSTUB_LINUX_SYSTEM_H

#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace winstub::this_machine {

// One line of the mount table.
struct Mount {
    int id = 0;
    dev_t device = 0;    // MAJ:MIN of the line: the superblock's device number
    std::string root;    // the directory of the file system that is mounted here
    std::string target;  // the mount directory, unescaped
    std::string fstype;
    std::string source;
    std::string vfs_options;  // per mount point
    std::string fs_options;   // per superblock
    bool network = false;     // libmount's own verdict
};

// The mount table in the mountinfo file at `path`, in file order. Returns 0
// or an errno value.
int ReadMountTable(const std::string &path, std::vector<Mount> &mounts);

// Whether the comma-separated mount options name `option` (alone or with a value).
bool HasOption(const std::string &options, const std::string &option);

// What a file system's superblock says about itself; empty texts where it
// says nothing.
struct DeviceFacts {
    std::string label;
    std::string uuid;
    std::string type;
    std::string version;  // "FAT12", "FAT16" or "FAT32" for vfat
};

// Probes the block device or image at `node` with libblkid. nullopt when it
// cannot be read (no privilege, no medium) or holds nothing that is known.
std::optional<DeviceFacts> ProbeDevice(const std::string &node);

// Where a path or an open file leads: the mount and the device number of its
// file system, as stat reports it.
struct Place {
    bool has_mount_id = false;  // kernels before 5.8 do not tell the mount
    uint64_t mount_id = 0;
    dev_t device = 0;
};

// The place and the file-system statistics of a path or an open file, or the
// errno value that the kernel answered.
struct FileSystemAnswer {
    int error = 0;
    Place place;
    struct statvfs stats {};
};

// statx without automounting or syncing with a server; nullopt with errno set.
std::optional<Place> PlaceOfPath(const std::string &path);
std::optional<Place> PlaceOfOpenFile(int fd);
// What kind of file `path` names (links followed), without asking a network
// server for fresh attributes; nullopt with errno set.
struct FileKind {
    bool regular = false;
    bool block_device = false;
    dev_t device_number = 0;  // of a device file: the device it stands for
};
std::optional<FileKind> KindOfFile(const std::string &path);
// An absolute path without ".", ".." and doubled slashes, from its text alone
// (a lookup could hang on the very mount asked about).
std::string LexicallyNormal(const std::string &path);
// PlaceOfPath and statvfs of the same file.
FileSystemAnswer QueryPath(const std::string &path);
// statvfs of an open file; the place is left empty.
FileSystemAnswer QueryOpenFile(int fd);

// The files that describe block devices under a root directory: sysfs
// (sys/dev/block/MAJ:MIN, sys/class/block/NAME) and /dev (dev/NAME,
// dev/disk/by-label, dev/disk/by-uuid). Symbolic links in a fixture tree
// must be relative so that they stay inside it. Not for use by several
// threads at once.
class DeviceFiles {
public:
    explicit DeviceFiles(std::string root);

    // Whether sysfs knows a block device with that number.
    bool IsBlockDevice(dev_t device) const;
    // The block device that a mount source names: a device node, or a link
    // to one such as /dev/mapper/NAME.
    std::optional<dev_t> DeviceOfSource(const std::string &source) const;
    // The device node of a block device (under the root).
    std::optional<std::string> Node(dev_t device) const;
    // The kernel marks the device, or the disk that holds the partition, removable.
    bool Removable(dev_t device) const;
    // The device, or the disk that holds it, is an optical drive (SCSI type 5).
    bool Optical(dev_t device) const;
    // The label and UUID that udev's links under dev/disk give the device node.
    DeviceFacts LinkedFacts(const std::string &node) const;

private:
    std::string BlockDirectory(dev_t device) const;
    // The links under dev/disk/`kind`: device node to unescaped name; read once.
    const std::map<std::string, std::string> &Links(const char *kind) const;

    std::string root_;
    mutable std::map<std::string, std::map<std::string, std::string>> links_;
};

// A file that a FUSE daemon holds open: where the file system it serves may
// come from (a disk image, a block device).
struct DaemonFile {
    std::string path;  // /proc/PID/fd/N under the root: opens the very file
    std::string link;  // what the link names ("/tmp/fat.img", "/dev/loop0")
    bool has_mount_id = false;
    int mount_id = 0;  // of the mount that holds the file, from fdinfo
};

// The daemons of FUSE file systems under a root directory, found through
// /proc: the processes that hold /dev/fuse open. The kernel names the
// connection of such a descriptor in its fdinfo ("fuse_connection", Linux
// 6.x); where it does not, a daemon whose command line names the mount
// directory is taken. Read once, at the first question; only the processes
// that the caller may inspect are seen. Not for use by several threads at once.
class FuseDaemons {
public:
    explicit FuseDaemons(std::string root);

    // The regular files and devices other than /dev/fuse that the daemon of
    // the FUSE file system with device number `device`, mounted at `target`,
    // holds open, in descriptor order; empty when no daemon is found.
    std::vector<DaemonFile> OpenFiles(dev_t device, const std::string &target) const;

private:
    struct Daemon {
        std::string pid;
        bool has_connection = false;
        uint64_t connection = 0;
    };
    void Scan() const;

    std::string root_;
    mutable bool scanned_ = false;
    mutable std::vector<Daemon> daemons_;
};

}  // namespace winstub::this_machine

#endif  // WINSTUB_LINUX_SYSTEM_H
