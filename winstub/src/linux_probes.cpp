#include "linux_probes.h"

#include <blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
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
#include <vector>

namespace winstub::this_machine {

namespace {

using Probe = std::unique_ptr<blkid_struct_probe, Deleter<blkid_struct_probe, blkid_free_probe>>;

struct FreeMemory {
    void operator()(char *memory) const { free(memory); }
};

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

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) {
        close(fd_);
    }
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

Place PlaceFrom(const struct statx &status) {
    Place place;
    place.has_mount_id = (status.stx_mask & STATX_MNT_ID) != 0;
    place.mount_id = status.stx_mnt_id;
    place.device = makedev(status.stx_dev_major, status.stx_dev_minor);
    place.mount_root = (status.stx_attributes_mask & status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    return place;
}

std::optional<Place> PlaceAt(int directory, const char *path, int flags) {
    struct statx status {};
    if (statx(directory, path, kStatxFlags | flags, STATX_MNT_ID, &status) != 0) {
        return std::nullopt;
    }
    return PlaceFrom(status);
}

}  // namespace

int OpenUnder(int root, const std::string &path, int flags) {
    if (root >= 0) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags) | O_CLOEXEC;
        how.resolve = RESOLVE_IN_ROOT;
        const long fd = syscall(SYS_openat2, root, path.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != ENOSYS) {
            return static_cast<int>(fd);
        }
    }
    return open(path.c_str(), flags | O_CLOEXEC);
}

std::optional<FileIdentity> IdentityOfOpenFile(int fd) {
    struct statx status {};
    if (fd < 0 || statx(fd, "", kStatxFlags | AT_EMPTY_PATH, STATX_INO, &status) != 0) {
        return std::nullopt;
    }
    return FileIdentity{makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino};
}

bool StillTheFile(int fd, const FileIdentity &identity) {
    const std::optional<FileIdentity> now = IdentityOfOpenFile(fd);
    return now && *now == identity;
}

std::optional<Place> PlaceOfPath(const std::string &path) {
    return PlaceAt(AT_FDCWD, path.c_str(), 0);
}

std::optional<Place> PlaceOfOpenFile(int fd) {
    return PlaceAt(fd, "", AT_EMPTY_PATH);
}

std::optional<FileKind> KindOfOpenFile(int fd) {
    struct statx status {};
    if (statx(fd, "", kStatxFlags | AT_EMPTY_PATH, STATX_TYPE | STATX_MNT_ID, &status) != 0) {
        return std::nullopt;
    }
    FileKind kind;
    kind.regular = S_ISREG(status.stx_mode);
    kind.block_device = S_ISBLK(status.stx_mode);
    kind.device_number = makedev(status.stx_rdev_major, status.stx_rdev_minor);
    kind.place = PlaceFrom(status);
    return kind;
}

FileSystemAnswer QueryPathUnder(int root, const std::string &path) {
    FileSystemAnswer answer;
    // One lookup for both questions: an O_PATH descriptor of the directory.
    FileDescriptor file(OpenUnder(root, path, O_PATH));
    std::optional<Place> place = file.get() >= 0 ? PlaceOfOpenFile(file.get()) : std::nullopt;
    if (!place || fstatvfs(file.get(), &answer.stats) != 0) {
        answer.error = errno;
        return answer;
    }
    answer.place = *place;
    return answer;
}

FileSystemAnswer QueryPath(const std::string &path) {
    return QueryPathUnder(-1, path);
}

FileSystemAnswer QueryStatistics(const std::string &path) {
    FileSystemAnswer answer;
    if (statvfs(path.c_str(), &answer.stats) != 0) {
        answer.error = errno;
    }
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
    // Major 0 numbers the superblocks that have no device (tmpfs, FUSE, ...).
    if (major(device) == 0) {
        return false;
    }
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

std::optional<std::string> DeviceFiles::LoopBackingName(dev_t device) const {
    // Read to its end: a stream would take a failed read (ENAMETOOLONG for a
    // long name) for the end of the file.
    const FileDescriptor file(open((BlockDirectory(device) + "/loop/backing_file").c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t count = read(file.get(), chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return std::nullopt;
        }
        if (count == 0) {
            break;
        }
        text.append(chunk, static_cast<size_t>(count));
    }
    if (text.empty() || text.back() != '\n') {
        return std::nullopt;
    }
    text.pop_back();
    return text;
}

bool DeviceFiles::IsLoopDevice(dev_t device) const {
    struct stat status {};
    return major(device) == kLoopMajor || stat((BlockDirectory(device) + "/loop").c_str(), &status) == 0;
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

}  // namespace winstub::this_machine
