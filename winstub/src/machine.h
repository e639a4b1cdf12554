// A machine answers the Windows volume functions that libwinstub exports.
// The exported functions (kernel32.cpp) hand each call to the active machine;
// GetLastError, SetLastError, the thread error mode and FormatMessageW belong
// to the library itself.
#ifndef WINSTUB_MACHINE_H
#define WINSTUB_MACHINE_H

#include <memory>
#include <string>
#include <vector>

#include "winstub/windows.h"

namespace winstub {

// The seven output arguments shared by GetVolumeInformationW and
// GetVolumeInformationByHandleW. Every pointer may be null.
struct VolumeInformationOutput {
    LPWSTR label;
    DWORD label_size;
    LPDWORD serial;
    LPDWORD max_component;
    LPDWORD flags;
    LPWSTR filesystem;
    DWORD filesystem_size;
    // What a file-system name too long for its buffer fails with: the
    // by-handle function answers ERROR_BAD_LENGTH there, as Windows does.
    DWORD filesystem_too_short;

    // Writes the answer, or nothing at all when a text does not fit its
    // buffer with its NUL: ERROR_INSUFFICIENT_BUFFER for the label,
    // `filesystem_too_short` for the file-system name.
    DWORD Write(const std::u16string &label_text, DWORD serial_number, DWORD max_component_length,
                DWORD file_system_flags, const std::u16string &filesystem_text) const;
};

// Each method answers the Windows function of its name with the same
// arguments. It returns ERROR_SUCCESS, or the code of a failure, which the
// exported function makes the thread's last error while returning that
// function's failure value. Methods are called from any thread.
class Machine {
public:
    virtual ~Machine() = default;

    virtual DWORD FindFirstVolumeW(LPWSTR volume_name, DWORD buffer_length, HANDLE &find_volume) = 0;
    virtual DWORD FindNextVolumeW(HANDLE find_volume, LPWSTR volume_name, DWORD buffer_length) = 0;
    virtual DWORD FindVolumeClose(HANDLE find_volume) = 0;
    virtual DWORD GetVolumePathNamesForVolumeNameW(LPCWSTR volume_name, LPWCH volume_path_names, DWORD buffer_length,
                                                   PDWORD return_length) = 0;
    virtual DWORD GetVolumeInformationW(LPCWSTR root_path_name, const VolumeInformationOutput &output) = 0;
    virtual DWORD GetVolumeInformationByHandleW(HANDLE file, const VolumeInformationOutput &output) = 0;
    // An unknown root is a success with DRIVE_NO_ROOT_DIR, as on Windows.
    virtual DWORD GetDriveTypeW(LPCWSTR root_path_name, UINT &drive_type) = 0;
    virtual DWORD GetDiskFreeSpaceExW(LPCWSTR directory_name, PULARGE_INTEGER free_bytes_available_to_caller,
                                      PULARGE_INTEGER total_number_of_bytes,
                                      PULARGE_INTEGER total_number_of_free_bytes) = 0;
};

// The machine the exported functions use; until another is activated, this
// machine on Linux and the sample machine elsewhere. A caller keeps the machine alive while it uses it, so
// activating another one never pulls a machine from under a running call.
std::shared_ptr<Machine> ActiveMachine();
void Activate(std::shared_ptr<Machine> machine);

// Answers in Windows' text formats, for every machine.

// The text of a NUL-terminated UTF-16 argument; empty for null.
std::u16string ReadText(LPCWSTR text);
// Copies `text` and its NUL into `buffer`; false, writing nothing, when
// they do not fit in `buffer_length` characters.
bool WriteText(const std::u16string &text, LPWSTR buffer, DWORD buffer_length);
// One step of a volume enumeration, as FindFirstVolumeW and FindNextVolumeW
// take it: writes `name` and moves `position` on. A null `name` ends the
// enumeration (ERROR_NO_MORE_FILES); a name that does not fit stays next, for
// a retry with a larger buffer (ERROR_FILENAME_EXCED_RANGE).
DWORD HandOutVolumeName(const std::u16string *name, size_t &position, LPWSTR volume_name, DWORD buffer_length);
// GetVolumePathNamesForVolumeNameW's packed list: each path with its NUL,
// then a closing NUL. The needed length goes to *return_length (when given)
// also when the buffer is too small (ERROR_MORE_DATA).
DWORD WritePathNames(const std::vector<std::u16string> &paths, LPWCH buffer, DWORD buffer_length, PDWORD return_length);

}  // namespace winstub

#endif  // WINSTUB_MACHINE_H
