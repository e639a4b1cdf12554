#include "linux_mount_table.h"

#include <fcntl.h>
#include <libmount.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iterator>
#include <limits>
#include <memory>
#include <utility>

namespace winstub::this_machine {

namespace {

using Table = std::unique_ptr<libmnt_table, Deleter<libmnt_table, mnt_unref_table>>;
using Iterator = std::unique_ptr<libmnt_iter, Deleter<libmnt_iter, mnt_free_iter>>;

// Served by another machine.
constexpr std::string_view kNetworkTypes[] = {
    "nfs",         "nfs4",      "cifs",         "smb3",           "smbfs",          "ncpfs",          "afs",
    "9p",          "virtiofs",  "ceph",         "glusterfs",      "lustre",         "davfs",          "fuse.sshfs",
    "fuse.rclone", "fuse.s3fs", "fuse.gcsfuse", "fuse.curlftpfs", "fuse.glusterfs", "fuse.ceph-fuse",
};

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string Text(const char *text) {
    return text ? std::string(text) : std::string();
}

std::string UnderRoot(std::string root, const char *path) {
    while (!root.empty() && root.back() == '/') {
        root.pop_back();
    }
    return root + path;
}

}  // namespace

int ReadMountTable(const std::string &path, std::vector<Mount> &mounts) {
    Table table(mnt_new_table());
    Iterator iterator(mnt_new_iter(MNT_ITER_FORWARD));
    if (!table || !iterator) {
        return ENOMEM;
    }
    if (int error = mnt_table_parse_file(table.get(), path.c_str())) {
        return error < 0 ? -error : EINVAL;
    }
    mounts.clear();
    libmnt_fs *fs = nullptr;
    while (mnt_table_next_fs(table.get(), iterator.get(), &fs) == 0) {
        Mount mount;
        mount.id = mnt_fs_get_id(fs);
        mount.parent_id = mnt_fs_get_parent_id(fs);
        mount.device = mnt_fs_get_devno(fs);
        mount.root = Text(mnt_fs_get_root(fs));
        mount.target = Text(mnt_fs_get_target(fs));
        mount.fstype = Text(mnt_fs_get_fstype(fs));
        mount.source = Text(mnt_fs_get_source(fs));
        mount.vfs_options = Text(mnt_fs_get_vfs_options(fs));
        mount.fs_options = Text(mnt_fs_get_fs_options(fs));
        mount.network = mnt_fs_is_netfs(fs) != 0;
        mounts.push_back(std::move(mount));
    }
    return 0;
}

namespace {

// Calls `found(name, value)` for each option until it returns true; the
// value is absent when the option has no '='.
template <typename Found>
bool FindOption(std::string_view options, Found found) {
    size_t start = 0;
    while (start < options.size()) {
        size_t end = start;
        size_t separator = std::string_view::npos;
        bool quoted = false;
        for (; end < options.size() && (quoted || options[end] != ','); ++end) {
            if (options[end] == '"') {
                quoted = !quoted;
            } else if (!quoted && options[end] == '=' && end > start && separator == std::string_view::npos) {
                separator = end;
            }
        }
        if (end > start) {
            const std::string_view item = options.substr(start, end - start);
            const bool valued = separator != std::string_view::npos;
            if (found(valued ? item.substr(0, separator - start) : item,
                      valued ? std::optional<std::string_view>(item.substr(separator - start + 1)) : std::nullopt)) {
                return true;
            }
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

std::vector<std::string_view> OptionNames(std::string_view options) {
    std::vector<std::string_view> names;
    FindOption(options, [&names](std::string_view name, const std::optional<std::string_view> &) {
        names.push_back(name);
        return false;
    });
    return names;
}

bool HasOption(std::string_view options, std::string_view option) {
    return FindOption(options, [option](std::string_view name, const std::optional<std::string_view> &) {
        return name == option;
    });
}

bool OptionValue(std::string_view options, std::string_view option, std::string &value) {
    bool valued = false;
    // The first option of that name answers, with a value or without.
    FindOption(options, [&](std::string_view name, const std::optional<std::string_view> &found) {
        if (name != option) {
            return false;
        }
        if (found) {
            value.assign(found->data(), found->size());
            valued = true;
        }
        return true;
    });
    return valued;
}

bool IsNetworkMount(const Mount &mount) {
    if (mount.network || std::find(std::begin(kNetworkTypes), std::end(kNetworkTypes), mount.fstype) != std::end(kNetworkTypes)) {
        return true;
    }
    if (mount.fstype != "fuse" && !StartsWith(mount.fstype, "fuse.")) {
        return false;
    }
    // "user@host:/path", "remote:", "//host/share"
    const size_t colon = mount.source.find(':');
    const bool host_and_path = colon != std::string::npos && colon > 0 && mount.source.find('/') > colon;
    return host_and_path || StartsWith(mount.source, "//");
}

bool IsFuse(const Mount &mount) {
    return mount.fstype == "fuse" || mount.fstype == "fuseblk" || StartsWith(mount.fstype, "fuse.");
}

bool MayHang(const Mount &mount) {
    return IsNetworkMount(mount) || IsFuse(mount);
}

MountFacts::MountFacts(const std::vector<Mount> &mounts, const DeviceFiles &files) : mounts_(mounts), files_(files) {
    for (size_t i = 0; i < mounts.size(); ++i) {
        by_id_.emplace(mounts[i].id, i);
        if (MayHang(mounts[i])) {
            hanging_targets_[mounts[i].target] = i;
        }
    }
}

const Mount *MountFacts::ById(int id) const {
    auto found = by_id_.find(id);
    return found == by_id_.end() ? nullptr : &mounts_[found->second];
}

std::optional<dev_t> MountFacts::Block(const Mount &mount) const {
    auto [known, unknown] = blocks_.try_emplace(mount.id);
    if (unknown && !IsNetworkMount(mount)) {
        if (files_.IsBlockDevice(mount.device)) {
            known->second = mount.device;
        } else if (!IsFuse(mount) || mount.fstype == "fuseblk") {
            known->second = files_.DeviceOfSource(mount.source);
        }
    }
    return known->second;
}

bool MountFacts::ReadsFromSlow(dev_t block, int depth) const {
    auto [known, unknown] = slow_blocks_.try_emplace(block, true);
    if (!unknown) {
        return known->second;
    }
    std::optional<std::string> backing = files_.LoopBackingFile(block);
    if (!backing) {
        known->second = false;
    } else if (const Mount *holder = VisibleAt(*backing)) {
        known->second = depth > kDeepest || Hangs(*holder, depth + 1);
    }
    return known->second;
}

bool MountFacts::Hangs(const Mount &mount, int depth) const {
    auto [known, unknown] = hangs_.try_emplace(mount.id, true);
    if (unknown) {
        std::optional<dev_t> block = MayHang(mount) ? std::nullopt : Block(mount);
        known->second = MayHang(mount) || (block && ReadsFromSlow(*block, depth));
    }
    return known->second;
}

bool MountFacts::ReachedSlowly(const Mount &mount) const {
    const size_t index = by_id_.at(mount.id);
    if (auto over = hanging_targets_.find(mount.target); over != hanging_targets_.end() && over->second > index) {
        return true;
    }
    const Mount *holder = ById(mount.parent_id);
    for (size_t steps = 0; holder && holder != &mount && steps < mounts_.size(); ++steps) {
        if (Hangs(*holder)) {
            return true;
        }
        if (holder->parent_id == holder->id) {
            break;
        }
        holder = ById(holder->parent_id);
    }
    return false;
}

const Mount *MountFacts::Holder(const Place &place) const {
    if (place.has_mount_id && place.mount_id != 0) {
        return place.mount_id <= static_cast<uint64_t>(std::numeric_limits<int>::max())
                   ? ById(static_cast<int>(place.mount_id))
                   : nullptr;
    }
    const Mount *holder = nullptr;
    for (const Mount &mount : mounts_) {
        if (mount.device == place.device && (!holder || Hangs(mount))) {
            holder = &mount;
        }
    }
    return holder;
}

const Mount *MountFacts::VisibleAt(const std::string &path) const {
    const Mount *visible = nullptr;
    for (const Mount &mount : mounts_) {
        const std::string &target = mount.target;
        const bool inside = path.compare(0, target.size(), target) == 0 &&
                            (target == "/" || path.size() == target.size() || path[target.size()] == '/');
        if (inside && (!visible || target.size() >= visible->target.size())) {
            visible = &mount;
        }
    }
    return visible;
}

namespace {

// Counts, in each process, the forks that made it: a child's count differs
// from its parent's at the moment of the fork, and stays its own.
std::atomic<uint64_t> fork_count{1};

void CountFork() {
    fork_count.fetch_add(1, std::memory_order_relaxed);
}

uint64_t ForkCount() {
    // pthread_atfork's handlers run in the child of fork(), before fork()
    // returns there; registered once per process, dropped with the library.
    static const bool registered = pthread_atfork(nullptr, nullptr, CountFork) == 0;
    return registered ? fork_count.load(std::memory_order_relaxed) : static_cast<uint64_t>(getpid()) << 32;
}

}  // namespace

MountTableWatch::MountTableWatch(std::string root)
    : table_(UnderRoot(root, "/proc/self/mountinfo")), namespace_link_(UnderRoot(root, "/proc/self/ns/mnt")) {}

MountTableWatch::~MountTableWatch() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

namespace {

// Which mount namespace the process is in, as cheaply as the kernel tells
// it: the mount of its root directory, which is a mount of that namespace
// (the lookup of "/" walks nothing); where statx names no mount (before
// Linux 5.8), the namespace's own inode.
uint64_t NamespaceIdentity(const std::string &namespace_link) {
    struct statx status {};
    if (statx(AT_FDCWD, "/", AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, STATX_MNT_ID, &status) == 0 &&
        (status.stx_mask & STATX_MNT_ID) && status.stx_mnt_id != 0) {
        return status.stx_mnt_id;
    }
    struct stat link {};
    // Inode numbers and mount IDs apart: the top bit.
    return stat(namespace_link.c_str(), &link) == 0 ? (uint64_t{1} << 63) | link.st_ino : 0;
}

}  // namespace

bool MountTableWatch::Changed() {
    const uint64_t current = NamespaceIdentity(namespace_link_);
    const uint64_t forks = ForkCount();
    if (fd_ < 0 || forks != opened_in_ || current != namespace_) {
        // An inherited file is closed unpolled: the parent keeps its news.
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = open(table_.c_str(), O_RDONLY | O_CLOEXEC);
        opened_in_ = forks;
        namespace_ = current;
        return true;
    }
    pollfd watch{fd_, POLLPRI, 0};
    return poll(&watch, 1, 0) > 0 && (watch.revents & (POLLPRI | POLLERR));
}

}  // namespace winstub::this_machine
