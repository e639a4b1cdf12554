// A machine made of scripted volumes, for tests and for the default demo
// machine: it logs every call and fails calls on request.
#ifndef WINSTUB_SIMULATED_MACHINE_H
#define WINSTUB_SIMULATED_MACHINE_H

#include <array>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include "mutex.h"
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "machine.h"
#include "winstub/control.h"

namespace winstub {

// The functions a simulated machine logs and can be told to fail.
enum class Function {
    FindFirstVolumeW,
    FindNextVolumeW,
    FindVolumeClose,
    GetVolumePathNamesForVolumeNameW,
    GetVolumeInformationW,
    GetVolumeInformationByHandleW,
    GetDriveTypeW,
    GetDiskFreeSpaceExW,
};
constexpr size_t kFunctionCount = 8;
const char *FunctionName(Function function);
std::optional<Function> FunctionNamed(const std::string &name);

class SimulatedMachine final : public Machine {
public:
    DWORD FindFirstVolumeW(LPWSTR volume_name, DWORD buffer_length, HANDLE &find_volume) override;
    DWORD FindNextVolumeW(HANDLE find_volume, LPWSTR volume_name, DWORD buffer_length) override;
    DWORD FindVolumeClose(HANDLE find_volume) override;
    DWORD GetVolumePathNamesForVolumeNameW(LPCWSTR volume_name, LPWCH volume_path_names, DWORD buffer_length,
                                           PDWORD return_length) override;
    DWORD GetVolumeInformationW(LPCWSTR root_path_name, const VolumeInformationOutput &output) override;
    DWORD GetVolumeInformationByHandleW(HANDLE file, const VolumeInformationOutput &output) override;
    DWORD GetDriveTypeW(LPCWSTR root_path_name, UINT &drive_type) override;
    DWORD GetDiskFreeSpaceExW(LPCWSTR directory_name, PULARGE_INTEGER free_bytes_available_to_caller,
                              PULARGE_INTEGER total_number_of_bytes,
                              PULARGE_INTEGER total_number_of_free_bytes) override;

    void AddVolume(const VolumeSpec &volume);
    bool SetMountPoints(const std::u16string &name, const std::vector<std::u16string> &mount_points);
    void Fail(Function function, DWORD code, unsigned times, unsigned skip, std::optional<DWORD> returned_length);
    std::optional<int64_t> OpenHandle(const std::u16string &name);
    bool CloseHandle(int64_t handle);
    std::vector<Call> Calls() const;
    size_t OpenSearches() const;
    // The process's current directory, as GetCurrentDirectoryW has it
    // ("C:\" or "C:\dir"); until it is set, the root of the first drive.
    std::u16string CurrentDirectory() const;
    // False, changing nothing, for a directory that does not exist.
    bool SetCurrentDirectory(const std::u16string &path);
    // A drive's own current directory, which Windows keeps in the
    // environment variable "=C:": where "C:" starts while the current
    // directory is on another drive. False for a path that is not absolute.
    bool SetDriveDirectory(const std::u16string &path);
    // A directory that exists, with those that hold it. Mount points, the
    // current directories and what holds them exist anyway. False for a
    // path that is not absolute.
    bool AddDirectory(const std::u16string &path);
    // A directory link (a symbolic link or a junction) at `link` to the
    // directory `target`, both absolute; what is below the link is below
    // the target. False for a path that is not absolute.
    bool AddLink(const std::u16string &link, const std::u16string &target);
    // False when no link is there.
    bool RemoveLink(const std::u16string &link);

private:
    struct Script {
        DWORD code;
        unsigned times;
        unsigned skip;
        std::optional<DWORD> returned_length;
    };

    // Logs the call and consumes the function's scripts: the script that
    // makes this call fail, if any. Requires mutex_.
    std::optional<Script> Enter(Function function, std::vector<CallArgument> arguments);
    // Index of the first volume with that name, or of the first volume
    // mounted at that path when `by_mount_point`. Requires mutex_.
    std::optional<size_t> Find(const std::u16string &root, bool by_mount_point) const;
    DWORD HandOutName(size_t &position, LPWSTR volume_name, DWORD buffer_length) const;
    // The current directory, and the full path of `text` from it. Require mutex_.
    std::u16string Here() const;
    std::optional<std::u16string> Full(std::u16string_view text) const;
    // A full path with its links followed, its trailing separator kept. Requires mutex_.
    std::u16string Resolved(std::u16string full_path) const;
    // Whether the directory of a full path exists; the volume mounted at it
    // (with its trailing separator); the volume that holds it. Require mutex_.
    bool Exists(std::u16string_view full_path) const;
    std::optional<size_t> MountedAt(const std::u16string &full_path) const;
    std::optional<size_t> Holder(const std::u16string &full_path) const;
    // Rebuilds first_by_mount_point_ after mount points changed. Requires mutex_.
    void IndexMountPoints();

    mutable Mutex mutex_;
    std::vector<VolumeSpec> volumes_;
    // Index of the first volume with a given name / mounted at a given path.
    std::unordered_map<std::u16string, size_t> first_by_name_;
    std::unordered_map<std::u16string, size_t> first_by_mount_point_;
    std::array<std::deque<Script>, kFunctionCount> scripts_;
    std::u16string current_directory_;  // empty: the first drive's root
    std::map<char16_t, std::u16string> drive_directories_;
    std::vector<std::u16string> directories_;
    std::map<std::u16string, std::u16string> links_;  // full paths, without separators
    std::vector<Call> calls_;
    // Open searches: handle value to the position of the next volume.
    std::map<int64_t, size_t> searches_;
    // Open files: handle value to the index of their volume.
    std::map<int64_t, size_t> files_;
    // Distinct ranges, so a file handle is never mistaken for a search.
    int64_t next_search_ = 0x100;
    int64_t next_file_ = 0x40000000;
};

std::shared_ptr<SimulatedMachine> MakeSampleMachine();

}  // namespace winstub

#endif  // WINSTUB_SIMULATED_MACHINE_H
