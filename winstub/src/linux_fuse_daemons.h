// The device or disk image behind a FUSE file system whose mount hides it
// (fusefat: the source "fusefat" and an anonymous device number): what the
// daemon that serves it holds open, as the kernel names it.
#ifndef WINSTUB_LINUX_FUSE_DAEMONS_H
#define WINSTUB_LINUX_FUSE_DAEMONS_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "linux_mount_table.h"
#include "linux_probes.h"

namespace winstub::this_machine {

// A file that a FUSE daemon holds open, opened once with O_PATH (which calls
// no open of its file system) and described after opening: whatever the
// daemon does with its descriptors afterwards, this is the file described.
struct DaemonFile {
    FileDescriptor file;  // O_PATH
    FileKind kind;
    // A path that opens this very file again, without a lookup of its name.
    std::string Reopen() const;
};

// The daemons of the FUSE file systems that a user mounted, found through
// /proc under a root directory: the processes of that user that hold
// /dev/fuse open, each descriptor named by the kernel's connection in its
// fdinfo ("fuse_connection:", Linux 6.x; without it no daemon is found).
// Only the user's own processes are looked at (one stat of /proc/PID each),
// so no other user's process can pose as a daemon, nor make the search
// longer; the calling process is not one of them. Read once, at the first question. Not for use by several threads
// at once.
class FuseDaemons {
public:
    FuseDaemons(std::string root, uid_t user);

    // The regular files and block devices that the daemon of the FUSE file
    // system with device number `device` holds open, in descriptor order;
    // empty when no daemon of the user serves it.
    std::vector<DaemonFile> OpenFiles(dev_t device) const;

private:
    struct Daemon {
        std::string pid;
        uint64_t connection = 0;
    };
    void Scan() const;

    std::string root_;
    uid_t user_;
    mutable bool scanned_ = false;
    mutable std::vector<Daemon> daemons_;
};

// What holds a FUSE file system whose daemon hides it (its mount source
// names no device): a block device or a regular file (a disk image) that the
// daemon holds open, on a file system that cannot hang. A regular file counts
// only when `probe` recognizes a file system in it.
struct Backing {
    std::optional<dev_t> block;
    bool image = false;
    DeviceFacts facts;  // of the image
};
using Probe = std::function<std::optional<DeviceFacts>(const std::string &node)>;
std::optional<Backing> FuseBacking(const Mount &mount, const Probe &probe, const DeviceFiles &files,
                                   const FuseDaemons &daemons, const MountFacts &table);

// Whether the user who mounted a FUSE file system is `user` (its user_id=).
bool MountedBy(const Mount &mount, uid_t user);

}  // namespace winstub::this_machine

#endif  // WINSTUB_LINUX_FUSE_DAEMONS_H
