// Control of the machine that libwinstub serves the Windows functions from.
// Used by the `winsim` Python module and by C++ tests; the module itself never
// includes this header.
#ifndef WINSTUB_CONTROL_H
#define WINSTUB_CONTROL_H

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "winstub/windows.h"

// The library hides everything it does not export on purpose.
#ifdef _WIN32
#ifdef WINSTUB_BUILDING
#define WINSTUB_API __declspec(dllexport)
#else
#define WINSTUB_API __declspec(dllimport)
#endif
#else
#define WINSTUB_API __attribute__((visibility("default")))
#endif

namespace winstub {

// One volume of the simulated machine.
struct VolumeSpec {
    std::u16string name;                       // GUID name as the enumeration hands it out
    std::vector<std::u16string> mount_points;  // in the order GetVolumePathNamesForVolumeNameW lists them
    std::u16string label;
    DWORD serial = 0;
    DWORD max_component = 255;
    DWORD flags = 0;
    std::u16string filesystem = u"NTFS";
    UINT drive_type = DRIVE_FIXED;
    std::optional<uint64_t> total_bytes = 0;  // nullopt: GetDiskFreeSpaceExW fails with ERROR_NOT_READY
    // Nonzero: GetVolumeInformationW/ByHandleW fail with this code (an empty
    // DVD drive answers ERROR_NOT_READY).
    DWORD information_error = 0;
    // What GetDiskFreeSpaceExW reports free, both to the caller and in total
    // (the simulated machine knows no quotas).
    uint64_t free_bytes = 0;
};

// One logged Windows call: the function name, then its arguments as
// integers (handles, lengths) or UTF-16 texts (names, paths), and the
// calling thread's error mode during the call.
using CallArgument = std::variant<int64_t, std::u16string>;
struct Call {
    std::string function;
    std::vector<CallArgument> arguments;
    DWORD error_mode = 0;
};

// Machine selection. Until one of these is called, this machine is active on
// Linux and the sample machine elsewhere.
WINSTUB_API void UseThisMachine();    // the machine the process runs on; throws std::logic_error
                                      // where libwinstub cannot serve it (not Linux)
WINSTUB_API void UseSampleMachine();  // a fresh sample machine active, call log emptied
WINSTUB_API void Reset();             // empty simulated machine active, no handles, no scripts,
                                      // call log emptied, calling thread's last error and
                                      // error mode 0

// The volumes of the sample machine, in enumeration order.
WINSTUB_API std::vector<VolumeSpec> SampleVolumes();

// Scripting the active simulated machine. These throw std::logic_error when
// the active machine is not a simulated one.
WINSTUB_API void AddVolume(const VolumeSpec &volume);
// False for an unknown name.
WINSTUB_API bool SetMountPoints(const std::u16string &name, const std::vector<std::u16string> &mount_points);
// Known names: the Windows volume functions of <winstub/windows.h> (not
// GetLastError, SetLastError, the thread error mode or FormatMessageW).
WINSTUB_API bool IsScriptableFunction(const std::string &function);
// The next `times` calls of `function`, after `skip` calls that behave
// normally, fail with `code`. Scripts of one function queue in order; a script
// with `times` 0 is dropped. Throws std::invalid_argument for an unknown name.
WINSTUB_API void Fail(const std::string &function, DWORD code, unsigned times = 1, unsigned skip = 0,
                      std::optional<DWORD> returned_length = std::nullopt);
// A handle of an open file on the first volume with that name; nullopt for an unknown name.
WINSTUB_API std::optional<int64_t> OpenHandle(const std::u16string &name);
// False when the handle is not open.
WINSTUB_API bool CloseHandle(int64_t handle);

// The simulated machine's current directory, a full path as
// GetCurrentDirectoryW gives it ("C:\" or "C:\dir"); until one is set, the
// root of the first drive (by letter). NULL and "\" name its drive's root.
WINSTUB_API std::u16string CurrentDirectory();
// Makes an existing directory current (relative paths from the current one):
// a mount point, what holds one, a directory added, a drive's directory.
// False, changing nothing, for one that does not exist.
WINSTUB_API bool ChangeDirectory(const std::u16string &path);
// The current directory of the path's drive as Windows keeps it in the
// environment variable "=C:": where "C:" starts while the current directory
// is on another drive. False for a path that is not absolute.
WINSTUB_API bool SetDriveDirectory(const std::u16string &path);
// An absolute path that exists as a directory, with those that hold it.
// False for a path that is not absolute.
WINSTUB_API bool AddDirectory(const std::u16string &path);
// A directory link (a symbolic link or a junction) at `link` to the
// directory `target`, both absolute: what is below it is below the target.
// False for a path that is not absolute; RemoveLink false when none is there.
WINSTUB_API bool AddLink(const std::u16string &link, const std::u16string &target);
WINSTUB_API bool RemoveLink(const std::u16string &link);

WINSTUB_API std::vector<Call> Calls();
WINSTUB_API size_t OpenSearches();

}  // namespace winstub

#endif  // WINSTUB_CONTROL_H
