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
};

// One logged Windows call: the function name, then its arguments as
// integers (handles, lengths) or UTF-16 texts (names, paths).
using CallArgument = std::variant<int64_t, std::u16string>;
struct Call {
    std::string function;
    std::vector<CallArgument> arguments;
};

// Machine selection. The sample machine is active until one of these is called.
void UseSampleMachine();  // sample machine active, call log emptied
void Reset();             // empty simulated machine active, no handles, no scripts,
                          // call log emptied, calling thread's last error 0

// Scripting the simulated machine (whichever simulated machine is active).
void AddVolume(const VolumeSpec &volume);
bool SetMountPoints(const std::u16string &name, const std::vector<std::u16string> &mount_points);
// Known names: the Windows functions of <winstub/windows.h> except
// GetLastError, SetLastError and FormatMessageW.
bool IsScriptableFunction(const std::string &function);
void Fail(const std::string &function, DWORD code, unsigned times = 1, unsigned skip = 0,
          std::optional<DWORD> returned_length = std::nullopt);
// A handle of an open file on the first volume with that name; nullopt for an unknown name.
std::optional<int64_t> OpenHandle(const std::u16string &name);
bool CloseHandle(int64_t handle);

std::vector<Call> Calls();
size_t OpenSearches();

}  // namespace winstub

#endif  // WINSTUB_CONTROL_H
