#include "simulated_machine.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "path_forms.h"

namespace winstub {

namespace {

constexpr std::array<const char *, kFunctionCount> kFunctionNames = {
    "FindFirstVolumeW",      "FindNextVolumeW",
    "FindVolumeClose",       "GetVolumePathNamesForVolumeNameW",
    "GetVolumeInformationW", "GetVolumeInformationByHandleW",
    "GetDriveTypeW",         "GetDiskFreeSpaceExW",
};

// Windows hands out handle values in steps of 4.
constexpr int64_t kHandleStep = 4;

int64_t HandleValue(HANDLE handle) {
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(handle));
}

HANDLE ToHandle(int64_t value) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value));
}

int64_t Length(DWORD length) {
    return static_cast<int64_t>(length);
}

}  // namespace

const char *FunctionName(Function function) {
    return kFunctionNames[static_cast<size_t>(function)];
}

std::optional<Function> FunctionNamed(const std::string &name) {
    for (size_t i = 0; i < kFunctionCount; ++i) {
        if (name == kFunctionNames[i]) {
            return static_cast<Function>(i);
        }
    }
    return std::nullopt;
}

std::optional<SimulatedMachine::Script> SimulatedMachine::Enter(Function function,
                                                                std::vector<CallArgument> arguments) {
    calls_.push_back(Call{FunctionName(function), std::move(arguments), ::GetThreadErrorMode()});
    std::deque<Script> &queue = scripts_[static_cast<size_t>(function)];
    if (queue.empty()) {
        return std::nullopt;
    }
    Script &next = queue.front();
    if (next.skip > 0) {
        --next.skip;
        return std::nullopt;
    }
    Script failing = next;
    if (--next.times == 0) {
        queue.pop_front();
    }
    return failing;
}

std::optional<size_t> SimulatedMachine::Find(const std::u16string &root, bool by_mount_point) const {
    std::optional<size_t> found;
    if (auto named = first_by_name_.find(root); named != first_by_name_.end()) {
        found = named->second;
    }
    if (by_mount_point) {
        const std::u16string mount_point(WithoutDevicePrefix(root));
        if (auto mounted = first_by_mount_point_.find(mount_point); mounted != first_by_mount_point_.end()) {
            found = found ? std::min(*found, mounted->second) : mounted->second;
        }
    }
    return found;
}

void SimulatedMachine::IndexMountPoints() {
    first_by_mount_point_.clear();
    for (size_t i = 0; i < volumes_.size(); ++i) {
        for (const std::u16string &mount_point : volumes_[i].mount_points) {
            first_by_mount_point_.emplace(mount_point, i);
        }
    }
}

std::u16string SimulatedMachine::Here() const {
    if (!current_directory_.empty()) {
        return current_directory_;
    }
    std::u16string first;
    for (const VolumeSpec &volume : volumes_) {
        for (const std::u16string &mount_point : volume.mount_points) {
            if (RootOfBareDrive(std::u16string_view(mount_point).substr(0, 2)) && mount_point.size() == 3 &&
                mount_point[2] == u'\\' && (first.empty() || mount_point < first)) {
                first = mount_point;
            }
        }
    }
    return first;
}

std::optional<std::u16string> SimulatedMachine::Full(std::u16string_view text) const {
    return FullDrivePath(text, Here(), [this](char16_t drive) -> std::optional<std::u16string> {
        auto kept = drive_directories_.find(static_cast<char16_t>(drive & ~0x20));
        return kept == drive_directories_.end() ? std::nullopt : std::optional<std::u16string>(kept->second);
    });
}

namespace {

// "C:\dir\" of "C:\dir" or "C:\dir\": the form whose prefixes are its ancestors.
std::u16string WithSeparator(std::u16string_view path) {
    std::u16string with(path);
    if (with.empty() || with.back() != u'\\') {
        with += u'\\';
    }
    return with;
}

}  // namespace

std::u16string SimulatedMachine::Resolved(std::u16string full_path) const {
    const bool separated = !full_path.empty() && full_path.back() == u'\\';
    // A link may lead to another; a loop ends where it stands.
    for (size_t followed = 0; followed < 32; ++followed) {
        const std::u16string path = WithSeparator(full_path);
        auto link = std::find_if(links_.begin(), links_.end(),
                                 [&](const auto &entry) { return StartsWith(path, WithSeparator(entry.first)); });
        if (link == links_.end()) {
            break;
        }
        const std::u16string below = path.substr(WithSeparator(link->first).size());
        full_path = WithSeparator(link->second) + below;
        if (!separated) {
            full_path = WithoutTrailingSeparator(full_path);
        }
    }
    return full_path;
}

bool SimulatedMachine::Exists(std::u16string_view full_path) const {
    const std::u16string directory = WithSeparator(Resolved(std::u16string(full_path)));
    // Only on a volume: what holds a folder mount of a drive that is not
    // mounted is not there.
    const auto below = [&](const auto &mounted) { return StartsWith(directory, mounted.first); };
    if (std::none_of(first_by_mount_point_.begin(), first_by_mount_point_.end(), below)) {
        return false;
    }
    const auto holds = [&](std::u16string_view path) { return StartsWith(WithSeparator(path), directory); };
    if (holds(Here()) || std::any_of(directories_.begin(), directories_.end(), holds)) {
        return true;
    }
    for (const auto &kept : drive_directories_) {
        if (holds(kept.second)) {
            return true;
        }
    }
    const auto holds_mount_point = [&](const auto &mounted) { return holds(mounted.first); };
    return std::any_of(first_by_mount_point_.begin(), first_by_mount_point_.end(), holds_mount_point);
}

std::optional<size_t> SimulatedMachine::MountedAt(const std::u16string &full_path) const {
    auto mounted = first_by_mount_point_.find(full_path);
    return mounted == first_by_mount_point_.end() ? std::nullopt : std::optional<size_t>(mounted->second);
}

std::optional<size_t> SimulatedMachine::Holder(const std::u16string &full_path) const {
    if (!Exists(full_path)) {
        return std::nullopt;
    }
    // The deepest mount point above it: "C:\Data\Archive\x" is on the
    // volume mounted at "C:\Data\Archive\".
    const std::u16string directory = WithSeparator(Resolved(full_path));
    std::optional<size_t> holder;
    size_t depth = 0;
    for (const auto &[mount_point, index] : first_by_mount_point_) {
        if (StartsWith(directory, mount_point) && mount_point.size() > depth) {
            holder = index;
            depth = mount_point.size();
        }
    }
    return holder;
}

DWORD SimulatedMachine::HandOutName(size_t &position, LPWSTR volume_name, DWORD buffer_length) const {
    // The search walks the volumes as they are now, so volumes added during
    // a search are found by it.
    return HandOutVolumeName(position < volumes_.size() ? &volumes_[position].name : nullptr, position, volume_name,
                             buffer_length);
}

DWORD SimulatedMachine::FindFirstVolumeW(LPWSTR volume_name, DWORD buffer_length, HANDLE &find_volume) {
    std::lock_guard<Mutex> lock(mutex_);
    if (auto script = Enter(Function::FindFirstVolumeW, {Length(buffer_length)})) {
        return script->code;
    }
    size_t position = 0;
    if (DWORD error = HandOutName(position, volume_name, buffer_length)) {
        return error;
    }
    const int64_t handle = next_search_;
    searches_.emplace(handle, position);
    next_search_ += kHandleStep;
    find_volume = ToHandle(handle);
    return ERROR_SUCCESS;
}

DWORD SimulatedMachine::FindNextVolumeW(HANDLE find_volume, LPWSTR volume_name, DWORD buffer_length) {
    std::lock_guard<Mutex> lock(mutex_);
    if (auto script = Enter(Function::FindNextVolumeW, {HandleValue(find_volume), Length(buffer_length)})) {
        return script->code;
    }
    auto search = searches_.find(HandleValue(find_volume));
    if (search == searches_.end()) {
        return ERROR_INVALID_HANDLE;
    }
    return HandOutName(search->second, volume_name, buffer_length);
}

DWORD SimulatedMachine::FindVolumeClose(HANDLE find_volume) {
    std::lock_guard<Mutex> lock(mutex_);
    // A scripted failure leaves the search open: the close did not happen.
    if (auto script = Enter(Function::FindVolumeClose, {HandleValue(find_volume)})) {
        return script->code;
    }
    return searches_.erase(HandleValue(find_volume)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

DWORD SimulatedMachine::GetVolumePathNamesForVolumeNameW(LPCWSTR volume_name, LPWCH volume_path_names,
                                                         DWORD buffer_length, PDWORD return_length) {
    std::lock_guard<Mutex> lock(mutex_);
    const std::u16string name = ReadText(volume_name);
    if (auto script = Enter(Function::GetVolumePathNamesForVolumeNameW, {name, Length(buffer_length)})) {
        if (script->returned_length && return_length) {
            *return_length = *script->returned_length;
        }
        return script->code;
    }
    const std::optional<size_t> index = Find(name, false);
    if (!index) {
        // A name the script gave a volume is one, whatever its form (a
        // device path, say); other text is refused as Windows refuses it.
        const DWORD error = VolumeNameFormError(name);
        return error ? error : ERROR_FILE_NOT_FOUND;
    }
    return WritePathNames(volumes_[*index].mount_points, volume_path_names, buffer_length, return_length);
}

DWORD SimulatedMachine::GetVolumeInformationW(LPCWSTR root_path_name, const VolumeInformationOutput &output) {
    std::lock_guard<Mutex> lock(mutex_);
    const std::u16string root = ReadText(root_path_name);
    if (auto script =
            Enter(Function::GetVolumeInformationW, {root, Length(output.label_size), Length(output.filesystem_size)})) {
        return script->code;
    }
    std::optional<size_t> index = root_path_name ? Find(root, true) : std::nullopt;
    if (!index) {
        // NULL is "\", the root of the current directory's drive.
        const std::optional<std::u16string> full = Full(root_path_name ? std::u16string_view(root) : u"\\");
        if (!full) {
            return ERROR_PATH_NOT_FOUND;
        }
        // The separator is read as written, before any link is followed.
        if (full->back() != u'\\') {
            return ERROR_INVALID_NAME;
        }
        const std::u16string resolved = Resolved(*full);
        index = MountedAt(resolved);
        if (!index) {
            return NotARootError(resolved, [this](std::u16string_view path) { return Exists(path); });
        }
    }
    const VolumeSpec &volume = volumes_[*index];
    if (volume.information_error != ERROR_SUCCESS) {
        return volume.information_error;
    }
    return output.Write(volume.label, volume.serial, volume.max_component, volume.flags, volume.filesystem);
}

DWORD SimulatedMachine::GetVolumeInformationByHandleW(HANDLE file, const VolumeInformationOutput &output) {
    std::lock_guard<Mutex> lock(mutex_);
    if (auto script = Enter(Function::GetVolumeInformationByHandleW,
                            {HandleValue(file), Length(output.label_size), Length(output.filesystem_size)})) {
        return script->code;
    }
    auto open_file = files_.find(HandleValue(file));
    if (open_file == files_.end()) {
        return ERROR_INVALID_HANDLE;
    }
    const VolumeSpec &volume = volumes_[open_file->second];
    if (volume.information_error != ERROR_SUCCESS) {
        return volume.information_error;
    }
    return output.Write(volume.label, volume.serial, volume.max_component, volume.flags, volume.filesystem);
}

DWORD SimulatedMachine::GetDriveTypeW(LPCWSTR root_path_name, UINT &drive_type) {
    std::lock_guard<Mutex> lock(mutex_);
    const std::u16string root = ReadText(root_path_name);
    if (auto script = Enter(Function::GetDriveTypeW, {root})) {
        return script->code;
    }
    // "C:" is the drive here, not the current directory on it; NULL and "\"
    // the current directory's drive.
    const std::optional<std::u16string> drive = RootOfBareDrive(root);
    const bool current = !root_path_name || root == u"\\";
    const std::optional<std::u16string> here = current ? Full(u"\\") : std::nullopt;
    const std::optional<size_t> index = Find(drive ? *drive : here ? *here : root, true);
    drive_type = index ? volumes_[*index].drive_type : DRIVE_NO_ROOT_DIR;
    return ERROR_SUCCESS;
}

DWORD SimulatedMachine::GetDiskFreeSpaceExW(LPCWSTR directory_name, PULARGE_INTEGER free_bytes_available_to_caller,
                                            PULARGE_INTEGER total_number_of_bytes,
                                            PULARGE_INTEGER total_number_of_free_bytes) {
    std::lock_guard<Mutex> lock(mutex_);
    const std::u16string directory = ReadText(directory_name);
    if (auto script = Enter(Function::GetDiskFreeSpaceExW, {directory})) {
        return script->code;
    }
    std::optional<size_t> index = directory_name ? Find(directory, true) : std::nullopt;
    if (!index) {
        // Any directory that exists, NULL the current one; "\" is its drive's root.
        const std::optional<std::u16string> full = directory_name ? Full(directory) : std::optional(Here());
        index = full ? Holder(*full) : std::nullopt;
    }
    if (!index) {
        return ERROR_PATH_NOT_FOUND;
    }
    const VolumeSpec &volume = volumes_[*index];
    if (!volume.total_bytes) {
        return ERROR_NOT_READY;
    }
    if (free_bytes_available_to_caller) {
        free_bytes_available_to_caller->QuadPart = volume.free_bytes;
    }
    if (total_number_of_bytes) {
        total_number_of_bytes->QuadPart = *volume.total_bytes;
    }
    if (total_number_of_free_bytes) {
        total_number_of_free_bytes->QuadPart = volume.free_bytes;
    }
    return ERROR_SUCCESS;
}

void SimulatedMachine::AddVolume(const VolumeSpec &volume) {
    std::lock_guard<Mutex> lock(mutex_);
    const size_t index = volumes_.size();
    volumes_.push_back(volume);
    // Lookups find the first volume with a name or mount point.
    first_by_name_.emplace(volume.name, index);
    for (const std::u16string &mount_point : volume.mount_points) {
        first_by_mount_point_.emplace(mount_point, index);
    }
}

bool SimulatedMachine::SetMountPoints(const std::u16string &name, const std::vector<std::u16string> &mount_points) {
    std::lock_guard<Mutex> lock(mutex_);
    const std::optional<size_t> index = Find(name, false);
    if (!index) {
        return false;
    }
    volumes_[*index].mount_points = mount_points;
    IndexMountPoints();
    return true;
}

void SimulatedMachine::Fail(Function function, DWORD code, unsigned times, unsigned skip,
                            std::optional<DWORD> returned_length) {
    if (times == 0) {
        return;
    }
    std::lock_guard<Mutex> lock(mutex_);
    scripts_[static_cast<size_t>(function)].push_back(Script{code, times, skip, returned_length});
}

std::optional<int64_t> SimulatedMachine::OpenHandle(const std::u16string &name) {
    std::lock_guard<Mutex> lock(mutex_);
    const std::optional<size_t> index = Find(name, false);
    if (!index) {
        return std::nullopt;
    }
    const int64_t handle = next_file_;
    files_.emplace(handle, *index);
    next_file_ += kHandleStep;
    return handle;
}

bool SimulatedMachine::CloseHandle(int64_t handle) {
    std::lock_guard<Mutex> lock(mutex_);
    return files_.erase(handle) != 0;
}

std::u16string SimulatedMachine::CurrentDirectory() const {
    std::lock_guard<Mutex> lock(mutex_);
    return Here();
}

bool SimulatedMachine::SetCurrentDirectory(const std::u16string &path) {
    std::lock_guard<Mutex> lock(mutex_);
    const std::optional<std::u16string> full = Full(path);
    if (!full || !Exists(*full)) {
        return false;
    }
    // Kept as GetCurrentDirectoryW gives it: a root with its separator only.
    current_directory_ = WithoutTrailingSeparator(*full);
    return true;
}

bool SimulatedMachine::SetDriveDirectory(const std::u16string &path) {
    std::lock_guard<Mutex> lock(mutex_);
    const std::optional<std::u16string> full = FullAbsolutePath(path);
    if (!full) {
        return false;
    }
    drive_directories_[(*full)[0]] = WithoutTrailingSeparator(*full);
    return true;
}

bool SimulatedMachine::AddDirectory(const std::u16string &path) {
    std::lock_guard<Mutex> lock(mutex_);
    const std::optional<std::u16string> full = FullAbsolutePath(path);
    if (!full) {
        return false;
    }
    directories_.push_back(WithoutTrailingSeparator(*full));
    return true;
}

bool SimulatedMachine::AddLink(const std::u16string &link, const std::u16string &target) {
    std::lock_guard<Mutex> lock(mutex_);
    const std::optional<std::u16string> at = FullAbsolutePath(link);
    const std::optional<std::u16string> to = FullAbsolutePath(target);
    if (!at || !to) {
        return false;
    }
    links_[WithoutTrailingSeparator(*at)] = WithoutTrailingSeparator(*to);
    return true;
}

bool SimulatedMachine::RemoveLink(const std::u16string &link) {
    std::lock_guard<Mutex> lock(mutex_);
    const std::optional<std::u16string> at = FullAbsolutePath(link);
    return at && links_.erase(WithoutTrailingSeparator(*at)) != 0;
}

std::vector<Call> SimulatedMachine::Calls() const {
    std::lock_guard<Mutex> lock(mutex_);
    return calls_;
}

size_t SimulatedMachine::OpenSearches() const {
    std::lock_guard<Mutex> lock(mutex_);
    return searches_.size();
}

}  // namespace winstub
