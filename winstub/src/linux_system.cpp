#include "linux_system.h"

#include <blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <libmount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <utility>

namespace winstub::this_machine {

namespace {

template <typename T, void (*Free)(T *)>
struct Deleter {
    void operator()(T *object) const { Free(object); }
};
using Table = std::unique_ptr<libmnt_table, Deleter<libmnt_table, mnt_unref_table>>;
using Iterator = std::unique_ptr<libmnt_iter, Deleter<libmnt_iter, mnt_free_iter>>;
using Probe = std::unique_ptr<blkid_struct_probe, Deleter<blkid_struct_probe, blkid_free_probe>>;

struct FreeMemory {
    void operator()(char *memory) const { free(memory); }
};
struct CloseDirectory {
    void operator()(DIR *directory) const { closedir(directory); }
};

struct FileDescriptor {
    int fd;
    explicit FileDescriptor(int value) : fd(value) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

std::string Text(const char *text) {
    return text ? std::string(text) : std::string();
}

std::optional<std::string> FirstLine(const std::string &path) {
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) {
        return std::nullopt;
    }
    return line;
}

std::optional<std::string> RealPath(const std::string &path) {
    std::unique_ptr<char, FreeMemory> resolved(realpath(path.c_str(), nullptr));
    if (!resolved) {
        return std::nullopt;
    }
    return std::string(resolved.get());
}

// "MAJ:MIN" as sysfs writes it.
std::optional<dev_t> ParseDeviceNumber(const std::string &text) {
    unsigned int major_number = 0;
    unsigned int minor_number = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%u:%u%c", &major_number, &minor_number, &end) != 2) {
        return std::nullopt;
    }
    return makedev(major_number, minor_number);
}

// udev writes characters that are unsafe in a file name as \xNN.
std::string Unescape(const std::string &name) {
    std::string text;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name.compare(i, 2, "\\x") == 0 && i + 4 <= name.size() &&
            std::isxdigit(static_cast<unsigned char>(name[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(name[i + 3]))) {
            text += static_cast<char>(std::stoi(name.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            text += name[i];
        }
    }
    return text;
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

bool HasOption(const std::string &options, const std::string &option) {
    char *value = nullptr;
    size_t size = 0;
    return mnt_optstr_get_option(options.c_str(), option.c_str(), &value, &size) == 0;
}

std::optional<DeviceFacts> ProbeDevice(const std::string &node) {
    Probe probe(blkid_new_probe_from_filename(node.c_str()));
    if (!probe) {
        return std::nullopt;
    }
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(
        probe.get(), BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
    if (blkid_do_safeprobe(probe.get()) != 0) {
        return std::nullopt;
    }
    auto value = [&](const char *name) {
        const char *data = nullptr;
        size_t size = 0;
        if (blkid_probe_lookup_value(probe.get(), name, &data, &size) != 0 || !data) {
            return std::string();
        }
        return std::string(data);  // NUL-terminated; size counts the NUL
    };
    DeviceFacts facts;
    facts.label = value("LABEL");
    facts.uuid = value("UUID");
    facts.type = value("TYPE");
    facts.version = value("VERSION");
    return facts;
}

namespace {

// Neither triggers an automount nor asks a network server for fresh attributes.
constexpr int kStatxFlags = AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC;

std::optional<Place> PlaceAt(int directory, const char *path, int flags) {
    struct statx status {};
    if (statx(directory, path, kStatxFlags | flags, STATX_MNT_ID, &status) != 0) {
        return std::nullopt;
    }
    Place place;
    place.has_mount_id = (status.stx_mask & STATX_MNT_ID) != 0;
    place.mount_id = status.stx_mnt_id;
    place.device = makedev(status.stx_dev_major, status.stx_dev_minor);
    return place;
}

}  // namespace

std::optional<Place> PlaceOfPath(const std::string &path) {
    return PlaceAt(AT_FDCWD, path.c_str(), 0);
}

std::optional<Place> PlaceOfOpenFile(int fd) {
    return PlaceAt(fd, "", AT_EMPTY_PATH);
}

std::optional<FileKind> KindOfFile(const std::string &path) {
    struct statx status {};
    if (statx(AT_FDCWD, path.c_str(), kStatxFlags, STATX_TYPE, &status) != 0) {
        return std::nullopt;
    }
    FileKind kind;
    kind.regular = S_ISREG(status.stx_mode);
    kind.block_device = S_ISBLK(status.stx_mode);
    kind.device_number = makedev(status.stx_rdev_major, status.stx_rdev_minor);
    return kind;
}

FileSystemAnswer QueryPath(const std::string &path) {
    FileSystemAnswer answer;
    // One lookup for both questions: an O_PATH descriptor of the directory.
    FileDescriptor file(open(path.c_str(), O_PATH | O_CLOEXEC));
    if (file.fd < 0) {
        answer.error = errno;
        return answer;
    }
    std::optional<Place> place = PlaceOfOpenFile(file.fd);
    if (!place || fstatvfs(file.fd, &answer.stats) != 0) {
        answer.error = errno;
        return answer;
    }
    answer.place = *place;
    return answer;
}

FileSystemAnswer QueryOpenFile(int fd) {
    FileSystemAnswer answer;
    if (fstatvfs(fd, &answer.stats) != 0) {
        answer.error = errno;
    }
    return answer;
}

DeviceFiles::DeviceFiles(std::string root) {
    std::optional<std::string> resolved = RealPath(root);
    root_ = resolved ? *resolved : root;
    // Paths are formed as root_ + "/sys/...".
    while (!root_.empty() && root_.back() == '/') {
        root_.pop_back();
    }
}

std::string DeviceFiles::BlockDirectory(dev_t device) const {
    return root_ + "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

bool DeviceFiles::IsBlockDevice(dev_t device) const {
    struct stat status {};
    return stat(BlockDirectory(device).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::optional<dev_t> DeviceFiles::DeviceOfSource(const std::string &source) const {
    if (source.empty() || source.front() != '/') {
        return std::nullopt;
    }
    const std::string devices = root_ + "/dev/";
    std::optional<std::string> node = RealPath(root_ + source);
    if (!node || node->compare(0, devices.size(), devices) != 0) {
        return std::nullopt;
    }
    // sysfs spells the slashes of a device name (cciss/c0d0) as '!'.
    std::string name = node->substr(devices.size());
    for (char &c : name) {
        c = c == '/' ? '!' : c;
    }
    std::optional<std::string> number = FirstLine(root_ + "/sys/class/block/" + name + "/dev");
    return number ? ParseDeviceNumber(*number) : std::nullopt;
}

std::optional<std::string> DeviceFiles::Node(dev_t device) const {
    const std::string directory = BlockDirectory(device);
    std::ifstream uevent(directory + "/uevent");
    for (std::string line; std::getline(uevent, line);) {
        if (line.compare(0, 8, "DEVNAME=") == 0) {
            return root_ + "/dev/" + line.substr(8);
        }
    }
    std::optional<std::string> resolved = RealPath(directory);
    if (!resolved) {
        return std::nullopt;
    }
    std::string name = resolved->substr(resolved->rfind('/') + 1);
    for (char &c : name) {
        c = c == '!' ? '/' : c;
    }
    return root_ + "/dev/" + name;
}

bool DeviceFiles::Removable(dev_t device) const {
    // A partition has no flag of its own; its disk is the parent directory.
    const std::string directory = BlockDirectory(device);
    std::optional<std::string> flag = FirstLine(directory + "/removable");
    if (!flag) {
        flag = FirstLine(directory + "/../removable");
    }
    return flag && *flag == "1";
}

bool DeviceFiles::Optical(dev_t device) const {
    constexpr const char *kRom = "5";
    const std::string directory = BlockDirectory(device);
    std::optional<std::string> type = FirstLine(directory + "/device/type");
    if (!type) {
        type = FirstLine(directory + "/../device/type");
    }
    return type && *type == kRom;
}

const std::map<std::string, std::string> &DeviceFiles::Links(const char *kind) const {
    auto [links, unread] = links_.try_emplace(kind);
    if (!unread) {
        return links->second;
    }
    const std::string directory = root_ + "/dev/disk/" + kind;
    std::unique_ptr<DIR, CloseDirectory> listing(opendir(directory.c_str()));
    while (const dirent *entry = listing ? readdir(listing.get()) : nullptr) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        if (std::optional<std::string> device = RealPath(directory + "/" + name)) {
            links->second.emplace(*device, Unescape(name));
        }
    }
    return links->second;
}

DeviceFacts DeviceFiles::LinkedFacts(const std::string &node) const {
    DeviceFacts facts;
    std::optional<std::string> device = RealPath(node);
    if (!device) {
        return facts;
    }
    auto find = [&](const char *kind) {
        const std::map<std::string, std::string> &links = Links(kind);
        auto link = links.find(*device);
        return link == links.end() ? std::string() : link->second;
    };
    facts.label = find("by-label");
    facts.uuid = find("by-uuid");
    return facts;
}

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

}  // namespace

std::string LexicallyNormal(const std::string &path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string normal;
    for (const std::string &part : parts) {
        normal += "/" + part;
    }
    return normal.empty() ? "/" : normal;
}

FuseDaemons::FuseDaemons(std::string root) : root_(std::move(root)) {
    while (!root_.empty() && root_.back() == '/') {
        root_.pop_back();
    }
}

void FuseDaemons::Scan() const {
    scanned_ = true;
    const std::string proc = root_ + "/proc";
    for (const std::string &pid : NumberedEntries(proc)) {
        const std::string fds = proc + "/" + pid + "/fd";
        for (const std::string &fd : NumberedEntries(fds)) {
            if (ReadLink(fds + "/" + fd) != "/dev/fuse") {
                continue;
            }
            Daemon daemon;
            daemon.pid = pid;
            if (std::optional<uint64_t> connection =
                    FdInfoValue(proc + "/" + pid + "/fdinfo/" + fd, "fuse_connection")) {
                daemon.has_connection = true;
                daemon.connection = *connection;
            }
            daemons_.push_back(daemon);
        }
    }
}

std::vector<DaemonFile> FuseDaemons::OpenFiles(dev_t device, const std::string &target) const {
    if (!scanned_) {
        Scan();
    }
    // The kernel's own encoding of a device number (12-bit major above a
    // 20-bit minor) names the connection.
    const uint64_t connection = (static_cast<uint64_t>(major(device)) << 20) | minor(device);
    const std::string mount_directory = LexicallyNormal(target);
    const Daemon *found = nullptr;
    for (const Daemon &daemon : daemons_) {
        if (daemon.has_connection) {
            if (daemon.connection == connection) {
                found = &daemon;
                break;
            }
            continue;
        }
        // Without the kernel's word: the command line names the mount
        // directory, absolute or relative to the daemon's directory.
        std::ifstream file(root_ + "/proc/" + daemon.pid + "/cmdline");
        const std::string cwd = ReadLink(root_ + "/proc/" + daemon.pid + "/cwd");
        for (std::string argument; std::getline(file, argument, '\0');) {
            if (argument.empty()) {
                continue;
            }
            const std::string absolute = argument.front() == '/' ? argument : cwd + "/" + argument;
            if (LexicallyNormal(absolute) == mount_directory) {
                found = &daemon;
                break;
            }
        }
        if (found) {
            break;
        }
    }
    std::vector<DaemonFile> files;
    if (!found) {
        return files;
    }
    const std::string process = root_ + "/proc/" + found->pid;
    for (const std::string &fd : NumberedEntries(process + "/fd")) {
        DaemonFile file;
        file.path = process + "/fd/" + fd;
        file.link = ReadLink(file.path);
        // Pipes, sockets and anonymous files name no path.
        if (file.link.empty() || file.link.front() != '/' || file.link == "/dev/fuse") {
            continue;
        }
        if (std::optional<uint64_t> mount_id = FdInfoValue(process + "/fdinfo/" + fd, "mnt_id")) {
            file.has_mount_id = true;
            file.mount_id = static_cast<int>(*mount_id);
        }
        files.push_back(std::move(file));
    }
    return files;
}

}  // namespace winstub::this_machine
