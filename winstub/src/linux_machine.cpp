#include "linux_machine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace winstub {

namespace this_machine {

// Queries of file systems that may never answer (a dead server, a FUSE
// daemon that stopped): each runs in a helper process, forked for it, that
// writes the answer into a pipe and exits. A thread of the process that
// waits on such a file system sits in an uninterruptible sleep that keeps the
// process from ending (the kernel waits for every thread at exit), so no
// thread of the process asks: a helper that never comes back is left behind
// and the process ends normally all the same.
//
// A query waits for its helper until a deadline, the time-out after it
// started. Queries with the same key (one file system) share the helper that
// is running: they wait for the same deadline, so once that has passed they
// fail at once, until the helper comes back; the next query after that starts
// a new helper. A file system that does not answer costs the time-out once,
// not once per query.
class SlowQueries {
public:
    explicit SlowQueries(std::chrono::milliseconds timeout) : timeout_(timeout) {}

    ~SlowQueries() {
        // Helpers still running have no one to answer: stop them where the
        // kernel lets them stop (a process in an uninterruptible wait dies
        // when the wait ends), and collect those that have ended.
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto &[key, pending] : running_) {
            // Only a child not yet collected (by us or by the application's
            // own wait) is surely still ours to signal.
            if (pending->pid > 0 && waitpid(pending->pid, nullptr, WNOHANG) == 0) {
                kill(pending->pid, SIGKILL);
                unreaped_.push_back(pending->pid);
            }
        }
        running_.clear();
        Reap();
    }

    // The answer of `work`, run in a helper process, or nullopt when it has
    // not come by the deadline. `keep` is a descriptor that `work` uses
    // (-1: none); the helper closes every other one that it inherited.
    std::optional<FileSystemAnswer> Run(const std::string &key, int keep,
                                        const std::function<FileSystemAnswer()> &work) {
        std::shared_ptr<Pending> pending;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Reap();
            if (auto running = running_.find(key); running != running_.end()) {
                pending = running->second;
                // Came back (or failed) since it was last looked at: ask anew.
                if (pending->done || Readable(pending->fd, 0)) {
                    unreaped_.push_back(pending->pid);
                    running_.erase(running);
                    pending.reset();
                }
            }
            if (!pending) {
                pending = Start(keep, work);
                running_[key] = pending;
            }
        }
        // Wait for the answer until the deadline; others may wait on the
        // same pipe, and the first to see the answer reads it.
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                pending->deadline - std::chrono::steady_clock::now());
            if (pending->done || Readable(pending->fd, std::max<int64_t>(0, left.count()))) {
                break;
            }
            if (left.count() <= 0) {
                return std::nullopt;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        Collect(*pending);
        if (auto running = running_.find(key); running != running_.end() && running->second == pending) {
            running_.erase(running);
            unreaped_.push_back(pending->pid);
        }
        Reap();
        return pending->answer;
    }

private:
    struct Pending {
        pid_t pid = -1;
        int fd = -1;  // the read end of the helper's pipe
        std::chrono::steady_clock::time_point deadline;
        std::atomic<bool> done{false};  // set under the mutex, read by waiters without it
        FileSystemAnswer answer;
        Pending() = default;
        Pending(const Pending &) = delete;
        Pending &operator=(const Pending &) = delete;
        ~Pending() {
            if (fd >= 0) {
                close(fd);
            }
        }
    };

    // Whether `fd` has data or its end within `milliseconds`.
    static bool Readable(int fd, int64_t milliseconds) {
        pollfd watch{fd, POLLIN, 0};
        const int ready = poll(&watch, 1, static_cast<int>(std::min<int64_t>(milliseconds, INT_MAX)));
        return ready > 0;
    }

    // Closes every descriptor but `a` and `b` (either may be -1).
    static void CloseAllBut(int a, int b) {
        // Descriptors first..last (inclusive; last ~0u: all above first).
        auto close_range_of = [](unsigned int first, unsigned int last) {
            if (first > last) {
                return;
            }
            if (syscall(SYS_close_range, first, last, 0u) == 0) {
                return;
            }
            // Kernels before 5.9: one by one, up to the limit of descriptors.
            rlimit limit{};
            const rlim_t most = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                                    ? std::min<rlim_t>(limit.rlim_cur, 1 << 20)
                                    : 1 << 16;
            for (rlim_t fd = first; fd < most && fd <= last; ++fd) {
                close(static_cast<int>(fd));
            }
        };
        // Runs in the forked helper: no allocation.
        const int low = std::min(a, b);
        const int high = std::max(a, b);
        unsigned int next = 0;
        for (int fd : {low, high}) {
            if (fd < 0) {
                continue;
            }
            if (static_cast<unsigned int>(fd) > next) {
                close_range_of(next, static_cast<unsigned int>(fd) - 1);
            }
            next = static_cast<unsigned int>(fd) + 1;
        }
        close_range_of(next, ~0u);
    }

    // Forks a helper that runs `work`. Called with mutex_ held.
    std::shared_ptr<Pending> Start(int keep, const std::function<FileSystemAnswer()> &work) {
        auto pending = std::make_shared<Pending>();
        pending->deadline = std::chrono::steady_clock::now() + timeout_;
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            pending->done = true;
            pending->answer.error = errno;
            return pending;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            // The helper. It holds nothing of the caller's (the pipes of a
            // parent that waits for this process's output included) but the
            // descriptor it asks about and its own pipe.
            CloseAllBut(ends[1], keep);
            const FileSystemAnswer answer = work();
            const char *data = reinterpret_cast<const char *>(&answer);
            size_t written = 0;
            while (written < sizeof answer) {
                const ssize_t count = write(ends[1], data + written, sizeof answer - written);
                if (count <= 0 && errno != EINTR) {
                    break;
                }
                written += count > 0 ? static_cast<size_t>(count) : 0;
            }
            _exit(0);
        }
        close(ends[1]);
        if (pid < 0) {
            pending->done = true;
            pending->answer.error = errno;
            close(ends[0]);
            return pending;
        }
        pending->pid = pid;
        pending->fd = ends[0];
        return pending;
    }

    // Reads the helper's answer (its pipe is readable). Called with mutex_ held.
    static void Collect(Pending &pending) {
        if (pending.done) {
            return;
        }
        pending.done = true;
        FileSystemAnswer answer;
        char *data = reinterpret_cast<char *>(&answer);
        size_t read_so_far = 0;
        while (read_so_far < sizeof answer) {
            const ssize_t count = read(pending.fd, data + read_so_far, sizeof answer - read_so_far);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                break;
            }
            read_so_far += static_cast<size_t>(count);
        }
        if (read_so_far == sizeof answer) {
            pending.answer = answer;
        } else {
            pending.answer = FileSystemAnswer();
            pending.answer.error = EIO;  // the helper died without answering
        }
    }

    // Collects the helpers that have ended. Called with mutex_ held.
    void Reap() {
        std::vector<pid_t> left;
        for (pid_t pid : unreaped_) {
            if (pid <= 0) {
                continue;
            }
            const pid_t reaped = waitpid(pid, nullptr, WNOHANG);
            // 0: still running. -1: collected by someone else (ECHILD).
            if (reaped == 0) {
                left.push_back(pid);
            }
        }
        unreaped_.swap(left);
    }

    const std::chrono::milliseconds timeout_;
    std::mutex mutex_;
    // Shared: every caller that asks the same file system while a helper runs
    // waits on that helper's pipe, and the last of them to let go closes it.
    std::map<std::string, std::shared_ptr<Pending>> running_;
    std::vector<pid_t> unreaped_;  // helpers that came back and may still have to be collected
};

}  // namespace this_machine

using this_machine::FileSystemAnswer;
using this_machine::Volume;

struct ThisMachine::Snapshot {
    std::vector<this_machine::Mount> mounts;
    std::vector<Volume> volumes;
    std::unordered_map<std::u16string, size_t> by_name;
    // The volume on top at each mount point: the last one mounted there.
    std::unordered_map<std::u16string, size_t> by_mount_point;
    std::map<dev_t, size_t> by_device;
    std::map<uint64_t, size_t> mount_by_id;
};

namespace {

const std::u16string kGuidPathPrefix = u"\\\\?\\Volume{";

bool StartsWith(const std::u16string &text, const std::u16string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Windows wants roots with a trailing backslash, and callers add one to
// whatever they are given; a Linux path ends before it.
std::u16string WithoutTrailingBackslash(std::u16string path) {
    if (!path.empty() && path.back() == u'\\') {
        path.pop_back();
    }
    return path;
}

// The key under which queries of one file system share a helper that does
// not answer. (No path starts with a NUL.)
std::string FileSystemKey(dev_t device) {
    return std::string(1, '\0') + "device " + std::to_string(device);
}

// The answer of both GetVolumeInformation functions.
DWORD Describe(const Volume &volume, dev_t serial, const std::optional<struct statvfs> &stats,
               const VolumeInformationOutput &output) {
    // Without the file system's own word, the kernel's limit for every one.
    DWORD max_component = NAME_MAX;
    DWORD flags = volume.flags;
    std::u16string filesystem = volume.filesystem;
    if (stats) {
        max_component =
            static_cast<DWORD>(std::min<unsigned long>(stats->f_namemax, std::numeric_limits<DWORD>::max()));
        if (stats->f_flag & ST_RDONLY) {
            flags |= FILE_READ_ONLY_VOLUME;
        }
    }
    if (filesystem.empty()) {
        // FAT whose width the probe could not tell: statvfs counts its clusters.
        filesystem = stats ? this_machine::FatNameForClusters(stats->f_blocks) : this_machine::FromLinux(volume.fstype);
    }
    return output.Write(volume.label, static_cast<DWORD>(serial), max_component, flags, filesystem);
}

}  // namespace

ThisMachine::ThisMachine(this_machine::Options options)
    : options_(std::move(options)),
      slow_(std::make_unique<this_machine::SlowQueries>(options_.network_timeout)),
      mount_table_(options_.environment.root) {}

ThisMachine::~ThisMachine() = default;

DWORD ThisMachine::Current(bool fresh, std::shared_ptr<const Snapshot> &snapshot) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool changed = mount_table_.Changed();
    if (snapshot_ && !fresh && !changed) {
        snapshot = snapshot_;
        return ERROR_SUCCESS;
    }
    // Read again at the next call should this fail.
    snapshot_.reset();
    auto next = std::make_shared<Snapshot>();
    if (int error = this_machine::ReadMountTable(mount_table_.TablePath(), next->mounts)) {
        return this_machine::WindowsErrorFor(error);
    }
    next->volumes = this_machine::DescribeVolumes(next->mounts, options_.environment);

    std::map<int, size_t> volume_of_mount;
    for (size_t i = 0; i < next->volumes.size(); ++i) {
        const Volume &volume = next->volumes[i];
        next->by_name.emplace(volume.name, i);
        next->by_device.emplace(volume.device, i);
        for (int id : volume.mount_ids) {
            volume_of_mount.emplace(id, i);
        }
    }
    for (size_t i = 0; i < next->mounts.size(); ++i) {
        const this_machine::Mount &mount = next->mounts[i];
        next->mount_by_id.emplace(static_cast<uint64_t>(mount.id), i);
        if (auto owner = volume_of_mount.find(mount.id); owner != volume_of_mount.end()) {
            const Volume &volume = next->volumes[owner->second];
            const size_t k =
                std::find(volume.mount_ids.begin(), volume.mount_ids.end(), mount.id) - volume.mount_ids.begin();
            next->by_mount_point[volume.mount_points[k]] = owner->second;
        }
    }
    snapshot_ = next;
    snapshot = std::move(next);
    return ERROR_SUCCESS;
}

const Volume *ThisMachine::Find(const Snapshot &snapshot, const std::u16string &root) {
    if (StartsWith(root, kGuidPathPrefix)) {
        auto named = snapshot.by_name.find(root);
        return named == snapshot.by_name.end() ? nullptr : &snapshot.volumes[named->second];
    }
    std::u16string mount_point = WithoutTrailingBackslash(root);
    if (mount_point.empty()) {
        return nullptr;
    }
    if (mount_point.back() != u'/') {
        mount_point += u'/';
    }
    auto mounted = snapshot.by_mount_point.find(mount_point);
    return mounted == snapshot.by_mount_point.end() ? nullptr : &snapshot.volumes[mounted->second];
}

DWORD ThisMachine::Ask(bool bounded, const std::string &key, int keep, const std::function<FileSystemAnswer()> &work,
                       FileSystemAnswer &answer) {
    if (!bounded) {
        answer = work();
        return ERROR_SUCCESS;
    }
    std::optional<FileSystemAnswer> answered = slow_->Run(key, keep, work);
    if (!answered) {
        return ERROR_SEM_TIMEOUT;
    }
    answer = *answered;
    return ERROR_SUCCESS;
}

DWORD ThisMachine::VolumeStats(const Volume &volume, std::optional<struct statvfs> &stats) {
    if (volume.shown_at) {
        // The table read saw this directory show the volume; a mount over it
        // since then changes the table, and the snapshot with it.
        const FileSystemAnswer answer = options_.statistics(volume.targets[*volume.shown_at]);
        if (answer.error) {
            return this_machine::WindowsErrorFor(answer.error);
        }
        stats = answer.stats;
        return ERROR_SUCCESS;
    }
    DWORD failure = ERROR_SUCCESS;
    for (const std::string &target : volume.targets) {
        FileSystemAnswer answer;
        const auto &query = options_.query;
        if (DWORD code = Ask(
                volume.may_hang, FileSystemKey(volume.device), -1, [&query, &target] { return query(target); },
                answer)) {
            return code;
        }
        if (answer.error) {
            failure = this_machine::WindowsErrorFor(answer.error);
            continue;
        }
        // Another file system mounted over this directory hides the volume there.
        const this_machine::Place &place = answer.place;
        const bool shows_volume = place.has_mount_id ? std::count(volume.mount_ids.begin(), volume.mount_ids.end(),
                                                                  static_cast<int>(place.mount_id)) > 0
                                                     : place.device == volume.device;
        if (shows_volume) {
            stats = answer.stats;
            return ERROR_SUCCESS;
        }
    }
    return failure;
}

DWORD ThisMachine::FindFirstVolumeW(LPWSTR volume_name, DWORD buffer_length, HANDLE &find_volume) {
    Search search{nullptr, 0};
    if (DWORD error = Current(true, search.snapshot)) {
        return error;
    }
    const std::vector<Volume> &volumes = search.snapshot->volumes;
    if (DWORD error = HandOutVolumeName(volumes.empty() ? nullptr : &volumes[0].name, search.position, volume_name,
                                        buffer_length)) {
        return error;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t handle = next_search_;
    searches_.emplace(handle, std::move(search));
    // Windows hands out handle values in steps of 4.
    next_search_ += 4;
    find_volume = reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
    return ERROR_SUCCESS;
}

DWORD ThisMachine::FindNextVolumeW(HANDLE find_volume, LPWSTR volume_name, DWORD buffer_length) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto search = searches_.find(reinterpret_cast<intptr_t>(find_volume));
    if (search == searches_.end()) {
        return ERROR_INVALID_HANDLE;
    }
    // The search walks the volumes as they were when it started.
    const std::vector<Volume> &volumes = search->second.snapshot->volumes;
    size_t &position = search->second.position;
    return HandOutVolumeName(position < volumes.size() ? &volumes[position].name : nullptr, position, volume_name,
                             buffer_length);
}

DWORD ThisMachine::FindVolumeClose(HANDLE find_volume) {
    std::lock_guard<std::mutex> lock(mutex_);
    return searches_.erase(reinterpret_cast<intptr_t>(find_volume)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

DWORD ThisMachine::GetVolumePathNamesForVolumeNameW(LPCWSTR volume_name, LPWCH volume_path_names, DWORD buffer_length,
                                                    PDWORD return_length) {
    std::shared_ptr<const Snapshot> snapshot;
    if (DWORD error = Current(false, snapshot)) {
        return error;
    }
    // A mount point is not a volume name.
    const std::u16string name = ReadText(volume_name);
    const Volume *volume = StartsWith(name, kGuidPathPrefix) ? Find(*snapshot, name) : nullptr;
    if (!volume) {
        return ERROR_FILE_NOT_FOUND;
    }
    return WritePathNames(volume->mount_points, volume_path_names, buffer_length, return_length);
}

DWORD ThisMachine::GetVolumeInformationW(LPCWSTR root_path_name, const VolumeInformationOutput &output) {
    std::shared_ptr<const Snapshot> snapshot;
    if (DWORD error = Current(false, snapshot)) {
        return error;
    }
    const Volume *volume = Find(*snapshot, ReadText(root_path_name));
    if (!volume) {
        return ERROR_PATH_NOT_FOUND;
    }
    std::optional<struct statvfs> stats;
    if (DWORD error = VolumeStats(*volume, stats)) {
        return error;
    }
    return Describe(*volume, volume->device, stats, output);
}

DWORD ThisMachine::GetVolumeInformationByHandleW(HANDLE file, const VolumeInformationOutput &output) {
    // The handle is a file descriptor.
    const intptr_t value = reinterpret_cast<intptr_t>(file);
    if (value < 0 || value > INT_MAX) {
        return ERROR_INVALID_HANDLE;
    }
    const int fd = static_cast<int>(value);
    const std::optional<this_machine::Place> place = this_machine::PlaceOfOpenFile(fd);
    if (!place) {
        return this_machine::WindowsErrorFor(errno);
    }
    if (place->device > std::numeric_limits<DWORD>::max()) {
        return ERROR_INVALID_FUNCTION;  // no serial number to report
    }
    std::shared_ptr<const Snapshot> snapshot;
    if (DWORD error = Current(false, snapshot)) {
        return error;
    }
    // The file's own device number is the serial, also for a file whose file
    // system the table leaves out (/proc) or whose number differs from its
    // mount's (overlayfs files of a lower layer).
    Volume volume;
    if (auto listed = snapshot->by_device.find(place->device); listed != snapshot->by_device.end()) {
        volume = snapshot->volumes[listed->second];
    } else {
        const this_machine::Mount *mount = nullptr;
        if (auto found = snapshot->mount_by_id.find(place->mount_id);
            place->has_mount_id && found != snapshot->mount_by_id.end()) {
            mount = &snapshot->mounts[found->second];
        }
        for (size_t i = 0; !mount && i < snapshot->mounts.size(); ++i) {
            if (snapshot->mounts[i].device == place->device) {
                mount = &snapshot->mounts[i];
            }
        }
        if (!mount) {
            return ERROR_NOT_READY;
        }
        volume = this_machine::DescribeMount(snapshot->mounts, *mount, place->device, options_.environment);
    }
    // Files of one file system share a query that does not answer with its
    // mount points: their statistics are the same.
    FileSystemAnswer answer;
    if (DWORD error = Ask(
            volume.may_hang, FileSystemKey(place->device), fd, [fd] { return this_machine::QueryOpenFile(fd); },
            answer)) {
        return error;
    }
    if (answer.error) {
        return this_machine::WindowsErrorFor(answer.error);
    }
    return Describe(volume, place->device, answer.stats, output);
}

DWORD ThisMachine::GetDriveTypeW(LPCWSTR root_path_name, UINT &drive_type) {
    std::shared_ptr<const Snapshot> snapshot;
    if (DWORD error = Current(false, snapshot)) {
        return error;
    }
    const Volume *volume = Find(*snapshot, ReadText(root_path_name));
    drive_type = volume ? volume->drive_type : DRIVE_NO_ROOT_DIR;
    return ERROR_SUCCESS;
}

DWORD ThisMachine::GetDiskFreeSpaceExW(LPCWSTR directory_name, PULARGE_INTEGER free_bytes_available_to_caller,
                                       PULARGE_INTEGER total_number_of_bytes,
                                       PULARGE_INTEGER total_number_of_free_bytes) {
    std::shared_ptr<const Snapshot> snapshot;
    if (DWORD error = Current(false, snapshot)) {
        return error;
    }
    struct statvfs stats {};
    const std::u16string root = ReadText(directory_name);
    const Volume *volume = directory_name ? Find(*snapshot, root) : nullptr;
    if (!volume && StartsWith(root, kGuidPathPrefix)) {
        return ERROR_PATH_NOT_FOUND;
    }
    if (volume) {
        std::optional<struct statvfs> reached;
        if (DWORD error = VolumeStats(*volume, reached)) {
            return error;
        }
        if (!reached) {
            return ERROR_NOT_READY;  // every mount point of it is covered
        }
        stats = *reached;
    } else {
        // Any directory, as on Windows; none is the current one. Which file
        // system holds it is not known before asking, so the wait is bounded.
        const std::u16string text = directory_name ? WithoutTrailingBackslash(root) : u".";
        const std::optional<std::string> path = this_machine::ToLinux(text);
        if (!path) {
            return ERROR_INVALID_NAME;
        }
        if (path->empty()) {
            return ERROR_PATH_NOT_FOUND;
        }
        FileSystemAnswer answer;
        const auto &query = options_.query;
        const std::string &directory = *path;
        if (DWORD error = Ask(
                true, directory, -1, [&query, &directory] { return query(directory); }, answer)) {
            return error;
        }
        if (answer.error) {
            return this_machine::WindowsErrorFor(answer.error);
        }
        stats = answer.stats;
    }
    const uint64_t unit = stats.f_frsize;
    if (free_bytes_available_to_caller) {
        free_bytes_available_to_caller->QuadPart = stats.f_bavail * unit;
    }
    if (total_number_of_bytes) {
        total_number_of_bytes->QuadPart = stats.f_blocks * unit;
    }
    if (total_number_of_free_bytes) {
        total_number_of_free_bytes->QuadPart = stats.f_bfree * unit;
    }
    return ERROR_SUCCESS;
}

std::shared_ptr<Machine> MakeThisMachine() {
    return std::make_shared<ThisMachine>();
}

}  // namespace winstub
