// What this Linux machine tells about a file system without its mount table:
// superblock probes (libblkid), the block-device files of sysfs and /dev,
// and the kernel's answers about a path or an open file. Files are read under
// a root directory ("/" for the machine itself) so that the same code reads
// fixture trees.
#ifndef WINSTUB_LINUX_PROBES_H
#define WINSTUB_LINUX_PROBES_H

#include <dirent.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace winstub::this_machine {

// Frees what a C library made, for std::unique_ptr.
template <typename T, void (*Free)(T *)>
struct Deleter {
    void operator()(T *object) const { Free(object); }
};

// Closes a directory listing, for std::unique_ptr.
struct CloseDirectory {
    void operator()(DIR *directory) const { closedir(directory); }
};

constexpr unsigned int kLoopMajor = 7;

// Owns a file descriptor (-1: none).
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor();
    int get() const { return fd_; }
    // Forgets the descriptor without closing it: it is no longer this
    // owner's (the application closed it and the number names another file).
    void Forget() { fd_ = -1; }

private:
    int fd_;
};

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
    // The root directory of its mount (told by the same kernels).
    bool mount_root = false;
};

// The place and the file-system statistics of a path or an open file, or the
// errno value that the kernel answered.
struct FileSystemAnswer {
    int error = 0;
    Place place;
    struct statvfs stats {};
};

// Which file an open descriptor is, as the kernel has it at hand: its file
// system is not asked (a FUSE daemon or a server may not answer).
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity &other) const { return device == other.device && inode == other.inode; }
};
std::optional<FileIdentity> IdentityOfOpenFile(int fd);
// Whether `fd` is still open on the file of `identity` (not closed, nor
// reused by the application for another file).
bool StillTheFile(int fd, const FileIdentity &identity);

// statx without automounting or syncing with a server; nullopt with errno set.
std::optional<Place> PlaceOfPath(const std::string &path);
std::optional<Place> PlaceOfOpenFile(int fd);
// What kind of file an open file is (an O_PATH descriptor will do), and
// where it lies, without asking a network server or a FUSE daemon for fresh
// attributes; nullopt with errno set.
struct FileKind {
    bool regular = false;
    bool block_device = false;
    dev_t device_number = 0;  // of a device file: the device it stands for
    Place place;              // of the file itself
};
std::optional<FileKind> KindOfOpenFile(int fd);
// An absolute path without ".", ".." and doubled slashes, from its text alone
// (a lookup could hang on the very mount asked about).
std::string LexicallyNormal(const std::string &path);
// `path` opened (with O_CLOEXEC added) under the directory `root` as if it
// were "/" (-1: as it is; before Linux 5.6 also as it is).
int OpenUnder(int root, const std::string &path, int flags);
// PlaceOfPath and statvfs of the same file.
FileSystemAnswer QueryPath(const std::string &path);
// The same of `path` resolved under the directory `root` as if it were "/"
// (-1: as it is).
FileSystemAnswer QueryPathUnder(int root, const std::string &path);
// statvfs of a path alone: for a directory already known to show its
// volume; the place is left empty.
FileSystemAnswer QueryStatistics(const std::string &path);
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
    // A loop device (its major number, or sysfs' loop/ directory of it).
    bool IsLoopDevice(dev_t device) const;
    // Of a loop device: the name of its backing file in sysfs, whole (a
    // newline in it kept); nullopt when it cannot be read. Only ever a
    // reason to call a device slow, never to call it local.
    std::optional<std::string> LoopBackingName(dev_t device) const;
    // The label and UUID that udev's links under dev/disk give the device node.
    DeviceFacts LinkedFacts(const std::string &node) const;

private:
    std::string BlockDirectory(dev_t device) const;
    // The links under dev/disk/`kind`: device node to unescaped name; read once.
    const std::map<std::string, std::string> &Links(const char *kind) const;

    std::string root_;
    mutable std::map<std::string, std::map<std::string, std::string>> links_;
};

}  // namespace winstub::this_machine

#endif  // WINSTUB_LINUX_PROBES_H
