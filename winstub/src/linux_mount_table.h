// This Linux machine's mount table: the lines of a mountinfo file (read with
// libmount), and the kernel's word that the table has changed.
#ifndef WINSTUB_LINUX_MOUNT_TABLE_H
#define WINSTUB_LINUX_MOUNT_TABLE_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "linux_probes.h"

namespace winstub::this_machine {

// One line of the mount table.
struct Mount {
    int id = 0;
    int parent_id = 0;   // the mount that holds the mount directory
    dev_t device = 0;    // MAJ:MIN of the line: the superblock's device number
    std::string root;    // the directory of the file system that is mounted here
    std::string target;  // the mount directory, unescaped
    std::string fstype;
    std::string source;
    std::string vfs_options;  // per mount point
    std::string fs_options;   // per superblock
    // Of a stacking file system (overlay): fs_options as the table spells
    // them, escapes kept, where a comma inside a layer's name is escaped.
    std::string fs_options_text;
    bool network = false;     // libmount's own verdict
};

// The kernel's octal escapes in the mount table (\040 for a space, \054 for
// a comma in an overlay's option) undone.
std::string UndoOctal(std::string_view text);

// The mount table in the mountinfo file at `path`, in file order. Returns 0
// or an errno value.
int ReadMountTable(const std::string &path, std::vector<Mount> &mounts);

// File systems served by another machine: by type, by libmount's verdict,
// and FUSE file systems whose source names a host ("host:path", "//host/share").
bool IsNetworkMount(const Mount &mount);
// File systems served by a user-space daemon: fuse, fuse.TYPE, fuseblk.
bool IsFuse(const Mount &mount);
// File systems that may never answer: those of network servers and of
// user-space daemons (FUSE, fuseblk included).
bool MayHang(const Mount &mount);

// The mount that an absolute path leads to by its text alone (asking might
// hang): the last one mounted at the longest mount directory that the path,
// made lexically normal, lies in; null when none is.
const Mount *MountAtPathText(const std::vector<Mount> &mounts, const std::string &path);

// The names of comma-separated mount options, as libmount splits them: a
// comma inside double quotes separates nothing, and a name ends at the first
// '=' of its option. The views point into `options`.
std::vector<std::string_view> OptionNames(std::string_view options);
// Whether the comma-separated mount options name `option` (alone or with a value).
bool HasOption(std::string_view options, std::string_view option);
// The value of `option=value` in comma-separated mount options, if it is there.
bool OptionValue(std::string_view options, std::string_view option, std::string &value);

// Of a loop device: the device number of the file system that holds its
// backing file, as the loop driver reports it (LOOP_GET_STATUS64), asked
// with a bounded wait; nullopt when it cannot be told (detached, no answer).
using LoopBacking = std::function<std::optional<dev_t>(dev_t loop)>;

// What the table read knows of the mounts of one table: where each file
// system reads from, and which of them may hang. Learnt as asked, once.
// Only what is proven not to wait on a FUSE daemon or a server counts as
// local.
class MountFacts {
public:
    MountFacts(const std::vector<Mount> &mounts, const DeviceFiles &files, LoopBacking loop_backing);

    const Mount *ById(int id) const;
    // The block device of a mount's file system: the table's MAJ:MIN when
    // sysfs knows it, else the device that its source names. The free-form
    // source of a FUSE file system (fsname=, which any user may set) names
    // none: only fuseblk's is the kernel's.
    std::optional<dev_t> Block(const Mount &mount) const;
    // Reading the block device may wait on a file system that may hang: a
    // loop device whose backing file lies on one, or cannot be placed.
    bool ReadsFromSlow(dev_t block, int depth = 0) const;
    // Reading files of the mount's file system may wait for a FUSE daemon or
    // a server: it is one, a layer of it (overlay) is reached through one,
    // or its device reads from one.
    bool Hangs(const Mount &mount, int depth = 0) const;
    // The path walk to the mount directory, or the look at it, may wait for a
    // file system that may hang: the walk from the root, component by
    // component, through the mount on top at each directory, crosses one, or
    // one is on top at the mount directory itself.
    bool ReachedSlowly(const Mount &mount) const;
    // The mount that holds an open file, by its mount ID, else by its device
    // number (one that may hang where several mounts have it).
    const Mount *Holder(const Place &place) const;

private:
    static constexpr int kDeepest = 8;  // loop devices on loop devices, overlays on overlays

    // The kernel's walk of an absolute path: whether it looks up a name in a
    // file system that may hang; `top` is the mount on top where it ends.
    // `table_text`: the path is a mount directory of the table, kept as long
    // as this object.
    bool WalkIsSlow(std::string_view path, bool table_text, const Mount *&top, int depth) const;
    // The mount on top at `directory` of those mounted on `under` there (stacks included).
    const Mount *TopAt(const Mount *under, std::string_view directory) const;
    // The layers of a stacking file system may be reached only slowly, or
    // cannot be told.
    bool LayersAreSlow(const Mount &mount, int depth) const;

    // Where the walk from the root stands at one directory: the mount on top
    // there, and the step at its parent directory. Every walk through a
    // directory shares its step.
    struct Step {
        const Mount *top = nullptr;
        size_t parent = 0;  // kNoStep at "/"
        // Every file system that names are looked up in, down to this one
        // included, was found local (final: a Hangs that says false stays so).
        bool fast = false;
    };
    static constexpr size_t kNoStep = static_cast<size_t>(-1);
    // The step at a lexically normal absolute directory, whose text outlives this object.
    size_t StepAt(std::string_view directory) const;
    // A name looked up in the directory of `step`, or on the way there, may
    // wait for a file system that may hang; asked from the root down, as the
    // kernel walks.
    bool ThroughSlow(size_t step, int depth) const;

    struct ChildKey {
        int parent_id;
        std::string_view directory;
        bool operator==(const ChildKey &other) const {
            return parent_id == other.parent_id && directory == other.directory;
        }
    };
    struct ChildKeyHash {
        size_t operator()(const ChildKey &key) const {
            return std::hash<std::string_view>()(key.directory) * 31 + static_cast<size_t>(key.parent_id);
        }
    };

    const std::vector<Mount> &mounts_;
    const DeviceFiles &files_;
    const LoopBacking loop_backing_;
    std::unordered_map<int, size_t> by_id_;
    const Mount *root_ = nullptr;
    // The last mount, in table order, on each mount at each directory (the
    // views are of the table's own mount directories).
    std::unordered_map<ChildKey, size_t, ChildKeyHash> children_;
    std::unordered_map<dev_t, std::vector<size_t>> by_device_;
    mutable std::unordered_map<int, std::optional<dev_t>> blocks_;
    mutable std::map<dev_t, bool> slow_blocks_;
    mutable std::unordered_map<int, bool> hangs_;
    mutable std::vector<Step> steps_;
    mutable std::unordered_map<std::string_view, size_t> step_at_;
    // Walked paths that are not the table's own text (layers, backing
    // files, directories made lexically normal), kept for step_at_'s views.
    mutable std::deque<std::string> paths_;
};

// Counts, in each process, the forks that made it: a child's count differs
// from its parent's at the moment of the fork, and stays its own.
uint64_t ForkCount();
// Descriptors of the library's own that a forked child closes as it starts
// (its copies; the parent keeps its own), each only if it is still that
// file: so no child holds them open behind its parent's back. At most 64.
void CloseInForkedChildren(int fd, const FileIdentity &identity);
void KeepInForkedChildren(int fd);

// Tells whether the mount table of the calling process has changed since it
// was last asked. The kernel flags an open mountinfo file as soon as its
// namespace's table changes (POLLPRI), and a poll takes the flag down. The
// file is the process's own: a child forked after it was opened shares it
// with its parent, where a poll by either would take the other's news, so a
// child opens its own instead. A process that moved to another mount
// namespace needs the file of the new one. The descriptor is polled or
// closed only while it is still the file opened. Not for use by several
// threads at once.
class MountTableWatch {
public:
    // `root`: where /proc is read ("/" for the machine itself).
    explicit MountTableWatch(std::string root);
    ~MountTableWatch();
    MountTableWatch(const MountTableWatch &) = delete;
    MountTableWatch &operator=(const MountTableWatch &) = delete;

    // True at the first call, in a child forked since the file was opened
    // (told by a fork handler rather than by asking the kernel for the pid at
    // every call), in another mount namespace, and after a change; consumes
    // the change.
    bool Changed();
    // The mountinfo file of the process, to read the table from.
    const std::string &TablePath() const { return table_; }

private:
    const std::string table_;
    const std::string namespace_link_;
    // Whether file_ is still the file it opened (device and inode): the
    // application may have closed the number and opened another file in it.
    bool StillOwned() const;

    FileDescriptor file_;
    FileIdentity file_identity_;
    uint64_t opened_in_ = 0;  // the process's count of forks when file_ was opened
    // The file is checked and polled at most once in this long: a change of
    // the table is seen by every call that starts this long after it.
    static constexpr std::chrono::microseconds kPollsApart{50};
    std::chrono::steady_clock::time_point polled_at_{};
    std::pair<uint64_t, uint64_t> namespace_{};  // which mount namespace and root it was opened in
};

}  // namespace winstub::this_machine

#endif  // WINSTUB_LINUX_MOUNT_TABLE_H
