#include "linux_fuse_daemons.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <utility>

namespace winstub::this_machine {

namespace {


std::string ReadLink(const std::string &path) {
    char buffer[PATH_MAX];
    const ssize_t size = readlink(path.c_str(), buffer, sizeof buffer);
    return size > 0 ? std::string(buffer, static_cast<size_t>(size)) : std::string();
}

bool AllDigits(const std::string &text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The names in a directory that are decimal numbers, in numeric order.
std::vector<std::string> NumberedEntries(const std::string &directory) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, CloseDirectory> listing(opendir(directory.c_str()));
    while (const dirent *entry = listing ? readdir(listing.get()) : nullptr) {
        if (AllDigits(entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

// The value of a "name:\tvalue" line of an fdinfo file.
std::optional<uint64_t> FdInfoValue(const std::string &path, const std::string &name) {
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (line.compare(0, name.size() + 1, name + ":") == 0) {
            const char *text = line.c_str() + name.size() + 1;
            char *end = nullptr;
            errno = 0;
            const unsigned long long value = std::strtoull(text, &end, 10);
            if (end != text && errno == 0) {
                return value;
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// Whether the process runs as `user`. /proc/PID belongs to the process's
// effective user, which rules out the others at the cost of a stat, or to
// root when the process made itself undumpable: its status tells.
bool RunsAs(const std::string &process, uid_t user) {
    struct stat status {};
    if (stat(process.c_str(), &status) != 0 || status.st_uid != user) {
        return false;
    }
    std::ifstream file(process + "/status");
    for (std::string line; std::getline(file, line);) {
        if (line.compare(0, 4, "Uid:") == 0) {
            std::istringstream ids(line.substr(4));
            unsigned long real = 0;
            unsigned long effective = 0;
            return (ids >> real >> effective) && effective == user;
        }
    }
    return false;
}

}  // namespace

std::string DaemonFile::Reopen() const {
    return "/proc/self/fd/" + std::to_string(file.get());
}

FuseDaemons::FuseDaemons(std::string root, uid_t user) : root_(std::move(root)), user_(user) {
    while (!root_.empty() && root_.back() == '/') {
        root_.pop_back();
    }
}

void FuseDaemons::Scan() const {
    scanned_ = true;
    const std::string proc = root_ + "/proc";
    // Not the calling process itself: the cost of a table read must not
    // grow with the descriptors of the application it serves.
    const std::string self = std::to_string(getpid());
    for (const std::string &pid : NumberedEntries(proc)) {
        const std::string process = proc + "/" + pid;
        if (pid == self || !RunsAs(process, user_)) {
            continue;
        }
        for (const std::string &fd : NumberedEntries(process + "/fd")) {
            if (ReadLink(process + "/fd/" + fd) != "/dev/fuse") {
                continue;
            }
            // A /dev/fuse that serves no mount names no connection.
            if (std::optional<uint64_t> connection = FdInfoValue(process + "/fdinfo/" + fd, "fuse_connection")) {
                daemons_.push_back(Daemon{pid, *connection});
            }
        }
    }
}

std::vector<DaemonFile> FuseDaemons::OpenFiles(dev_t device) const {
    if (!scanned_) {
        Scan();
    }
    // The kernel's own encoding of a device number (12-bit major above a
    // 20-bit minor) names the connection.
    const uint64_t connection = (static_cast<uint64_t>(major(device)) << 20) | minor(device);
    auto found = std::find_if(daemons_.begin(), daemons_.end(),
                              [&](const Daemon &daemon) { return daemon.connection == connection; });
    std::vector<DaemonFile> files;
    if (found == daemons_.end()) {
        return files;
    }
    const std::string descriptors = root_ + "/proc/" + found->pid + "/fd";
    for (const std::string &fd : NumberedEntries(descriptors)) {
        const std::string path = descriptors + "/" + fd;
        // Pipes, sockets and anonymous files name no path. (Reading the
        // link asks no file system.)
        const std::string link = ReadLink(path);
        if (link.empty() || link.front() != '/' || link == "/dev/fuse") {
            continue;
        }
        DaemonFile file;
        file.file = FileDescriptor(open(path.c_str(), O_PATH | O_CLOEXEC));
        if (file.file.get() < 0) {
            continue;
        }
        std::optional<FileKind> kind = KindOfOpenFile(file.file.get());
        if (!kind || !(kind->regular || kind->block_device)) {
            continue;
        }
        file.kind = *kind;
        files.push_back(std::move(file));
    }
    return files;
}

// Whether the user who mounted a FUSE file system is `user` (its user_id=).
bool MountedBy(const Mount &mount, uid_t user) {
    std::string value;
    return OptionValue(mount.fs_options, "user_id", value) && value == std::to_string(user);
}

std::optional<Backing> FuseBacking(const Mount &mount, const Probe &probe, const DeviceFiles &files,
                                   const FuseDaemons &daemons, const MountFacts &table) {
    for (const DaemonFile &file : daemons.OpenFiles(mount.device)) {
        const Mount *holder = table.Holder(file.kind.place);
        // Reading a file on a file system that may hang could hang too.
        if (!holder || holder->id == mount.id || holder->device == mount.device || table.Hangs(*holder)) {
            continue;
        }
        Backing backing;
        if (file.kind.block_device && files.IsBlockDevice(file.kind.device_number)) {
            backing.block = file.kind.device_number;
            return backing;
        }
        if (file.kind.regular) {
            if (std::optional<DeviceFacts> probed = probe(file.Reopen()); probed && !probed->type.empty()) {
                backing.image = true;
                backing.facts = *probed;
                return backing;
            }
        }
    }
    return std::nullopt;
}

}  // namespace winstub::this_machine
