#include "linux_mount_table.h"

#include <fcntl.h>
#include <libmount.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cerrno>
#include <iterator>
#include <limits>
#include <memory>
#include <utility>

namespace winstub::this_machine {

namespace {

// Served by another machine.
constexpr std::string_view kNetworkTypes[] = {
    "nfs",         "nfs4",      "cifs",         "smb3",           "smbfs",          "ncpfs",          "afs",
    "9p",          "virtiofs",  "ceph",         "glusterfs",      "lustre",         "davfs",          "fuse.sshfs",
    "fuse.rclone", "fuse.s3fs", "fuse.gcsfuse", "fuse.curlftpfs", "fuse.glusterfs", "fuse.ceph-fuse",
};

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string UnderRoot(std::string root, const char *path) {
    while (!root.empty() && root.back() == '/') {
        root.pop_back();
    }
    return root + path;
}

}  // namespace

std::string UndoOctal(std::string_view text) {
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string plain;
    plain.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && octal(text[i + 1]) && octal(text[i + 2]) &&
            octal(text[i + 3])) {
            plain += static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) | (text[i + 3] - '0'));
            i += 3;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

namespace {

// The whole of a mountinfo file. A table that changes while it is read (the
// kernel flags the open file) is read again from its start, as libmount does,
// so that the lines are of one moment.
int ReadWhole(const std::string &path, std::string &text) {
    constexpr int kTries = 5;
    constexpr size_t kChunk = 64 * 1024;
    FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        return errno;
    }
    // Not zero-filled, unlike a string grown to take the read.
    const std::unique_ptr<char[]> chunk(new char[kChunk]);
    for (int tries = 1;; ++tries) {
        text.clear();
        bool changed = false;
        for (;;) {
            const ssize_t got = read(file.get(), chunk.get(), kChunk);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                return errno;
            }
            if (got == 0) {
                break;
            }
            text.append(chunk.get(), static_cast<size_t>(got));
            pollfd watch{file.get(), POLLPRI, 0};
            if (poll(&watch, 1, 0) > 0 && (watch.revents & (POLLPRI | POLLERR))) {
                changed = true;
                break;
            }
        }
        if (!changed || tries == kTries) {
            return 0;
        }
        if (lseek(file.get(), 0, SEEK_SET) != 0) {
            return errno;
        }
    }
}

bool IsSeparator(char c) {
    return c == ' ' || c == '\t';
}

std::string_view SkipSeparators(std::string_view text) {
    while (!text.empty() && IsSeparator(text.front())) {
        text.remove_prefix(1);
    }
    return text;
}

// The next field of `line` (which starts at it), with the kernel's octal
// escapes (\040 for a space, \011, \012, \134) undone; empty when there is
// none. `line` goes on after it.
std::string TakeField(std::string_view &line) {
    size_t end = 0;
    while (end < line.size() && !IsSeparator(line[end])) {
        ++end;
    }
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end);
    return UndoOctal(field);
}

template <typename Number>
bool TakeNumber(std::string_view &line, Number &number) {
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), number);
    if (error != std::errc() || end == line.data()) {
        return false;
    }
    line.remove_prefix(static_cast<size_t>(end - line.data()));
    return true;
}

// One line of a mountinfo file (proc(5)): "ID PARENT MAJ:MIN ROOT TARGET
// VFS-OPTIONS [OPTIONAL...] - TYPE SOURCE FS-OPTIONS". False for a line that
// is not one, which is passed over, as libmount does.
bool ParseMountLine(std::string_view line, Mount &mount) {
    unsigned int major_number = 0;
    unsigned int minor_number = 0;
    if (!TakeNumber(line, mount.id) || (line = SkipSeparators(line), !TakeNumber(line, mount.parent_id))) {
        return false;
    }
    line = SkipSeparators(line);
    if (!TakeNumber(line, major_number) || line.empty() || line.front() != ':') {
        return false;
    }
    line.remove_prefix(1);
    if (!TakeNumber(line, minor_number)) {
        return false;
    }
    mount.device = makedev(major_number, minor_number);
    while (!line.empty() && !IsSeparator(line.front())) {
        line.remove_prefix(1);
    }
    line = SkipSeparators(line);
    mount.root = TakeField(line);
    line = SkipSeparators(line);
    mount.target = TakeField(line);
    line = SkipSeparators(line);
    mount.vfs_options = TakeField(line);
    const size_t dash = line.find(" - ");
    if (mount.root.empty() || mount.target.empty() || mount.vfs_options.empty() || dash == std::string_view::npos) {
        return false;
    }
    line = SkipSeparators(line.substr(dash + 3));
    mount.fstype = TakeField(line);
    if (mount.fstype.empty() || line.empty()) {
        return false;
    }
    // An empty source leaves two separators in a row.
    if (line.size() >= 2 && line[0] == ' ' && line[1] == ' ') {
        mount.source.clear();
    } else {
        line = SkipSeparators(line);
        mount.source = TakeField(line);
        if (mount.source.empty()) {
            return false;
        }
    }
    line = SkipSeparators(line);
    if (mount.fstype == "overlay") {
        mount.fs_options_text = std::string(line.substr(0, std::min(line.find_first_of(" \t"), line.size())));
    }
    mount.fs_options = TakeField(line);
    if (mount.fs_options.empty()) {
        return false;
    }
    // libmount's verdicts: a pseudo file system is never a network one.
    mount.network = !mnt_fstype_is_pseudofs(mount.fstype.c_str()) && mnt_fstype_is_netfs(mount.fstype.c_str());
    if (mount.source == "/dev/root") {
        // The kernel's name for the root device at boot; libmount names the device.
        char *device = nullptr;
        if (mnt_guess_system_root(mount.device, nullptr, &device) == 0 && device) {
            mount.source = device;
        }
        free(device);
    }
    return true;
}

}  // namespace

int ReadMountTable(const std::string &path, std::vector<Mount> &mounts) {
    std::string text;
    if (int error = ReadWhole(path, text)) {
        return error;
    }
    mounts.clear();
    mounts.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
    std::string_view rest(text);
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        line = SkipSeparators(line);
        Mount mount;
        if (!line.empty() && line.front() != '#' && ParseMountLine(line, mount)) {
            mounts.push_back(std::move(mount));
        }
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

const Mount *MountAtPathText(const std::vector<Mount> &mounts, const std::string &path) {
    const std::string normal = LexicallyNormal(path);
    const Mount *holder = nullptr;
    for (const Mount &mount : mounts) {
        const std::string &target = mount.target;
        const bool inside = target == "/" || normal == target ||
                            (normal.compare(0, target.size(), target) == 0 && normal[target.size()] == '/');
        // Of equal mount directories, the last mounted is on top.
        if (inside && (!holder || target.size() >= holder->target.size())) {
            holder = &mount;
        }
    }
    return holder;
}

namespace {

std::atomic<uint64_t> fork_count{1};

// The descriptors that CloseInForkedChildren names: slots that a fork
// handler reads without a lock (another thread of the parent may have held
// it at the fork).
struct ClosedAtFork {
    std::atomic<int> fd{-1};
    std::atomic<dev_t> device{0};
    std::atomic<ino_t> inode{0};
};
ClosedAtFork closed_at_fork[64];

void CountFork() {
    fork_count.fetch_add(1, std::memory_order_relaxed);
    for (ClosedAtFork &slot : closed_at_fork) {
        const int fd = slot.fd.exchange(-1);
        if (fd >= 0 && StillTheFile(fd, {slot.device.load(), slot.inode.load()})) {
            close(fd);
        }
    }
}

}  // namespace

void CloseInForkedChildren(int fd, const FileIdentity &identity) {
    ForkCount();  // the handler is in place
    constexpr int kClaimed = -2;  // a slot being filled: a fork meanwhile finds no descriptor in it
    for (ClosedAtFork &slot : closed_at_fork) {
        int free_slot = -1;
        if (slot.fd.compare_exchange_strong(free_slot, kClaimed)) {
            slot.device = identity.device;
            slot.inode = identity.inode;
            slot.fd = fd;
            return;
        }
    }
    // All taken: the child finds the copy at its first call, as without the handler.
}

void KeepInForkedChildren(int fd) {
    for (ClosedAtFork &slot : closed_at_fork) {
        int mine = fd;
        slot.fd.compare_exchange_strong(mine, -1);
    }
}

uint64_t ForkCount() {
    // pthread_atfork's handlers run in the child of fork(), before fork()
    // returns there; registered once per process, dropped with the library.
    static const bool registered = pthread_atfork(nullptr, nullptr, CountFork) == 0;
    return registered ? fork_count.load(std::memory_order_relaxed) : static_cast<uint64_t>(getpid()) << 32;
}

MountTableWatch::MountTableWatch(std::string root)
    : table_(UnderRoot(root, "/proc/self/mountinfo")), namespace_link_(UnderRoot(root, "/proc/self/ns/mnt")) {}

namespace {

// Which mount namespace and root the process has, as cheaply as the kernel
// tells it: the mount of its root directory, which is a mount of that
// namespace (the lookup of "/" walks nothing), and the root's inode (a
// chroot into a directory of that mount); where statx names no mount
// (before Linux 5.8), the namespace's own inode.
std::pair<uint64_t, uint64_t> NamespaceIdentity(const std::string &namespace_link) {
    struct statx status {};
    if (statx(AT_FDCWD, "/", AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, STATX_MNT_ID | STATX_INO, &status) == 0 &&
        (status.stx_mask & STATX_MNT_ID) && status.stx_mnt_id != 0) {
        return {status.stx_mnt_id, status.stx_ino};
    }
    struct stat link {};
    // Inode numbers and mount IDs apart: the top bit.
    return {stat(namespace_link.c_str(), &link) == 0 ? (uint64_t{1} << 63) | link.st_ino : 0, status.stx_ino};
}

}  // namespace

MountTableWatch::~MountTableWatch() {
    if (file_.get() >= 0) {
        KeepInForkedChildren(file_.get());
    }
    if (!StillOwned()) {
        file_.Forget();
    }
}

bool MountTableWatch::StillOwned() const {
    return StillTheFile(file_.get(), file_identity_);
}

bool MountTableWatch::Changed() {
    const std::pair<uint64_t, uint64_t> current = NamespaceIdentity(namespace_link_);
    const uint64_t forks = ForkCount();
    const auto now = std::chrono::steady_clock::now();
    if (forks == opened_in_ && current == namespace_ && file_.get() >= 0 && now - polled_at_ < kPollsApart) {
        // Polled so lately that a change before it was seen then: a burst of
        // calls (a refresh asks four of each volume) costs one poll in a while.
        return false;
    }
    polled_at_ = now;
    const bool owned = StillOwned();
    if (!owned || forks != opened_in_ || current != namespace_) {
        if (file_.get() >= 0) {
            KeepInForkedChildren(file_.get());
        }
        if (!owned) {
            // Another file's number now (or none, closed as the fork made
            // this process): not ours to close.
            file_.Forget();
        }
        // An inherited file is closed unpolled: the parent keeps its news.
        file_ = FileDescriptor(open(table_.c_str(), O_RDONLY | O_CLOEXEC));
        file_identity_ = IdentityOfOpenFile(file_.get()).value_or(FileIdentity());
        if (file_.get() >= 0) {
            CloseInForkedChildren(file_.get(), file_identity_);
        }
        opened_in_ = forks;
        namespace_ = current;
        return true;
    }
    pollfd watch{file_.get(), POLLPRI, 0};
    return poll(&watch, 1, 0) > 0 && (watch.revents & (POLLPRI | POLLERR));
}

}  // namespace winstub::this_machine
