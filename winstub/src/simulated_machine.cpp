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
    const std::optional<size_t> index = Find(root, true);
    if (!index) {
        return ERROR_PATH_NOT_FOUND;
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
    // "C:" is the drive here, not the current directory on it.
    const std::optional<std::u16string> drive = RootOfBareDrive(root);
    const std::optional<size_t> index = Find(drive ? *drive : root, true);
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
    const std::optional<size_t> index = Find(directory, true);
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

std::vector<Call> SimulatedMachine::Calls() const {
    std::lock_guard<Mutex> lock(mutex_);
    return calls_;
}

size_t SimulatedMachine::OpenSearches() const {
    std::lock_guard<Mutex> lock(mutex_);
    return searches_.size();
}

}  // namespace winstub
