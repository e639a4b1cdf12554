#include "linux_machine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <string_view>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "path_forms.h"

namespace winstub {

using this_machine::FileSystemAnswer;
using this_machine::Question;
using this_machine::Volume;

namespace {

using this_machine::kGuidPathPrefix;

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

namespace {

// Loop devices' backing files placed through the helper, unless told otherwise.
this_machine::Options WithLoopBacking(this_machine::Options options, ThisMachine *machine) {
    if (!options.environment.loop_backing) {
        options.environment.loop_backing = [machine](dev_t loop) { return machine->LoopBacking(loop); };
    }
    return options;
}

}  // namespace

std::optional<dev_t> ThisMachine::LoopBacking(dev_t loop) {
    const this_machine::DeviceFiles files(options_.environment.root);
    const std::optional<std::string> node = files.Node(loop);
    if (!node || loop > std::numeric_limits<uint32_t>::max()) {
        return std::nullopt;
    }
    const std::optional<FileSystemAnswer> answer = slow_->Ask({Question::Kind::kLoopDevice, loop, *node});
    if (!answer || answer->error) {
        return std::nullopt;
    }
    return answer->place.device;
}

ThisMachine::ThisMachine(this_machine::Options options)
    : options_(WithLoopBacking(std::move(options), this)),
      slow_(std::make_unique<this_machine::SlowQueries>(
          options_.network_timeout,
          options_.helper == this_machine::Options::Helper::kProgram ? this_machine::PathQuery() : options_.query)),
      mount_table_(options_.environment.root) {}

ThisMachine::~ThisMachine() = default;

DWORD ThisMachine::Current(bool fresh, std::shared_ptr<const Snapshot> &snapshot) {
    std::string table;
    uint64_t reading = 0;
    {
        std::lock_guard<Mutex> lock(mutex_);
        // A change read by another thread that has not installed its table
        // yet: this one reads too rather than take the old one.
        if (mount_table_.Changed()) {
            snapshot_.reset();
            slow_->EndKeptAnswers();
        }
        if (snapshot_ && !fresh) {
            snapshot = snapshot_;
            return ERROR_SUCCESS;
        }
        table = mount_table_.TablePath();
        reading = ++reads_started_;
    }
    // Read without the lock: describing the table may ask the helper (a loop
    // device's backing file), and a fork must not wait for that.
    auto next = std::make_shared<Snapshot>();
    if (int error = this_machine::ReadMountTable(table, next->mounts)) {
        return this_machine::WindowsErrorFor(error);
    }
    next->volumes = this_machine::DescribeVolumes(next->mounts, options_.environment);

    std::map<int, size_t> volume_of_mount;
    next->by_name.reserve(next->volumes.size());
    next->by_mount_point.reserve(next->mounts.size());
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
    std::lock_guard<Mutex> lock(mutex_);
    // The table read last wins; a change meanwhile has reset snapshot_ again.
    if (reading > reads_installed_) {
        reads_installed_ = reading;
        snapshot_ = next;
    }
    snapshot = std::move(next);
    return ERROR_SUCCESS;
}

const Volume *ThisMachine::Find(const Snapshot &snapshot, const std::u16string &root) {
    if (StartsWith(root, kGuidPathPrefix)) {
        const size_t last = snapshot.last_named.load(std::memory_order_relaxed);
        if (last < snapshot.volumes.size() && snapshot.volumes[last].name == root) {
            return &snapshot.volumes[last];
        }
        auto named = snapshot.by_name.find(root);
        if (named == snapshot.by_name.end()) {
            return nullptr;
        }
        snapshot.last_named.store(named->second, std::memory_order_relaxed);
        return &snapshot.volumes[named->second];
    }
    std::u16string mount_point = WithoutAddedBackslash(root);
    if (mount_point.empty()) {
        return nullptr;
    }
    if (mount_point.back() != u'/') {
        mount_point += u'/';
    }
    auto mounted = snapshot.by_mount_point.find(mount_point);
    return mounted == snapshot.by_mount_point.end() ? nullptr : &snapshot.volumes[mounted->second];
}

const Volume *ThisMachine::FindRoot(const Snapshot &snapshot, LPCWSTR root) {
    const std::u16string text = ReadText(root);
    if (root && text != u"\\") {
        return Find(snapshot, text);
    }
    // A Linux path has no drive: the file system that the mount table says
    // holds the current directory stands for it.
    const std::optional<std::string> here = this_machine::AbsolutePath(".");
    const std::optional<dev_t> holder = here ? this_machine::FileSystemOfPathText(snapshot.mounts, *here) : std::nullopt;
    if (!holder) {
        return nullptr;
    }
    auto listed = snapshot.by_device.find(*holder);
    return listed == snapshot.by_device.end() ? nullptr : &snapshot.volumes[listed->second];
}

DWORD ThisMachine::Ask(bool bounded, const Question &question, FileSystemAnswer &answer) {
    if (!bounded) {
        answer = question.kind == Question::Kind::kOpenFile ? this_machine::QueryOpenFile(question.fd)
                                                            : options_.query(question.path);
        return ERROR_SUCCESS;
    }
    std::optional<FileSystemAnswer> answered = slow_->Ask(question);
    if (!answered) {
        return ERROR_SEM_TIMEOUT;
    }
    answer = *answered;
    return ERROR_SUCCESS;
}

DWORD ThisMachine::VolumeStats(const Snapshot &snapshot, const Volume &volume, std::optional<struct statvfs> &stats) {
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
    if (volume.may_hang && !snapshot.asked_ahead.exchange(true)) {
        // A refresh asks each volume in turn: one round trip to the helper
        // for all of them, rather than one after another.
        std::vector<Question> questions;
        for (const Volume &other : snapshot.volumes) {
            if (other.may_hang && !other.targets.empty()) {
                questions.push_back({Question::Kind::kAtPath, other.device, other.targets.front()});
            }
        }
        slow_->AskAhead(questions);
    }
    DWORD failure = ERROR_SUCCESS;
    for (const std::string &target : volume.targets) {
        FileSystemAnswer answer;
        if (DWORD code = Ask(volume.may_hang, {Question::Kind::kAtPath, volume.device, target}, answer)) {
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
    std::lock_guard<Mutex> lock(mutex_);
    const int64_t handle = next_search_;
    searches_.emplace(handle, std::move(search));
    // Windows hands out handle values in steps of 4.
    next_search_ += 4;
    find_volume = reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
    return ERROR_SUCCESS;
}

DWORD ThisMachine::FindNextVolumeW(HANDLE find_volume, LPWSTR volume_name, DWORD buffer_length) {
    std::lock_guard<Mutex> lock(mutex_);
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
    std::lock_guard<Mutex> lock(mutex_);
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
    if (DWORD error = VolumeNameFormError(name)) {
        return error;
    }
    const Volume *volume = Find(*snapshot, name);
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
    const Volume *volume = nullptr;
    if (DWORD error = VolumeOfRoot(*snapshot, root_path_name, volume)) {
        return error;
    }
    std::optional<struct statvfs> stats;
    if (DWORD error = VolumeStats(*snapshot, *volume, stats)) {
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
    // Open files of one file system ask the same question.
    FileSystemAnswer answer;
    if (DWORD error = Ask(volume.may_hang, {Question::Kind::kOpenFile, place->device, {}, fd}, answer)) {
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
    const Volume *volume = FindRoot(*snapshot, root_path_name);
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
    // "\" is the current drive's root, as NULL: the current directory here.
    const bool current = !directory_name || root == u"\\";
    const Volume *volume = current ? nullptr : Find(*snapshot, root);
    if (!volume && StartsWith(root, kGuidPathPrefix)) {
        return ERROR_PATH_NOT_FOUND;
    }
    if (volume) {
        std::optional<struct statvfs> reached;
        if (DWORD error = VolumeStats(*snapshot, *volume, reached)) {
            return error;
        }
        if (!reached) {
            return ERROR_NOT_READY;  // every mount point of it is covered
        }
        stats = *reached;
    } else {
        // Any directory, as on Windows; none is the current one. Which file
        // system holds it is not known before asking, so the wait is bounded.
        const std::u16string text = current ? u"." : WithoutAddedBackslash(root);
        const std::optional<std::string> name = this_machine::ToLinux(text);
        if (!name) {
            return ERROR_INVALID_NAME;
        }
        const std::optional<std::string> path = name->empty() ? std::nullopt : this_machine::AbsolutePath(*name);
        if (!path) {
            return ERROR_PATH_NOT_FOUND;
        }
        FileSystemAnswer answer;
        if (DWORD error = AskDirectory(*snapshot, *path, answer)) {
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
