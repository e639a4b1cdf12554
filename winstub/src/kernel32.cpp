// The exported kernel32 functions. Each volume function is answered by the
// active machine; the thread's last error and the system's message texts are
// the library's own.
#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "machine.h"
#include "system_messages.h"
#include "winstub/windows.h"

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;
thread_local DWORD thread_error_mode = 0;

// Runs one answer of the active machine. No exception may reach the C
// callers: running out of memory is reported as Windows reports it.
template <typename Answer>
DWORD Serve(Answer &&answer) noexcept {
    try {
        std::shared_ptr<winstub::Machine> machine = winstub::ActiveMachine();
        return answer(*machine);
    } catch (const std::bad_alloc &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
}

// A failure becomes the thread's last error. Success leaves the last error
// as it was, as on Windows.
bool Succeeded(DWORD code) {
    if (code != ERROR_SUCCESS) {
        last_error = code;
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) {
    return last_error;
}

void WINAPI SetLastError(DWORD code) {
    last_error = code;
}

DWORD WINAPI GetThreadErrorMode(void) {
    return thread_error_mode;
}

BOOL WINAPI SetThreadErrorMode(DWORD new_mode, LPDWORD old_mode) {
    if (new_mode & ~(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX)) {
        last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (old_mode) *old_mode = thread_error_mode;
    thread_error_mode = new_mode;
    return TRUE;
}

HANDLE WINAPI FindFirstVolumeW(LPWSTR volume_name, DWORD buffer_length) {
    HANDLE find_volume = INVALID_HANDLE_VALUE;
    const DWORD code = Serve(
        [&](winstub::Machine &machine) { return machine.FindFirstVolumeW(volume_name, buffer_length, find_volume); });
    return Succeeded(code) ? find_volume : INVALID_HANDLE_VALUE;
}

BOOL WINAPI FindNextVolumeW(HANDLE find_volume, LPWSTR volume_name, DWORD buffer_length) {
    return Succeeded(Serve(
        [&](winstub::Machine &machine) { return machine.FindNextVolumeW(find_volume, volume_name, buffer_length); }));
}

BOOL WINAPI FindVolumeClose(HANDLE find_volume) {
    return Succeeded(Serve([&](winstub::Machine &machine) { return machine.FindVolumeClose(find_volume); }));
}

BOOL WINAPI GetVolumePathNamesForVolumeNameW(LPCWSTR volume_name, LPWCH volume_path_names, DWORD buffer_length,
                                             PDWORD return_length) {
    return Succeeded(Serve([&](winstub::Machine &machine) {
        return machine.GetVolumePathNamesForVolumeNameW(volume_name, volume_path_names, buffer_length, return_length);
    }));
}

BOOL WINAPI GetVolumeInformationW(LPCWSTR root_path_name, LPWSTR volume_name_buffer, DWORD volume_name_size,
                                  LPDWORD volume_serial_number, LPDWORD maximum_component_length,
                                  LPDWORD file_system_flags, LPWSTR file_system_name_buffer,
                                  DWORD file_system_name_size) {
    const winstub::VolumeInformationOutput output{volume_name_buffer,       volume_name_size,  volume_serial_number,
                                                  maximum_component_length, file_system_flags, file_system_name_buffer,
                                                  file_system_name_size,
                                                  ERROR_INSUFFICIENT_BUFFER};
    return Succeeded(
        Serve([&](winstub::Machine &machine) { return machine.GetVolumeInformationW(root_path_name, output); }));
}

BOOL WINAPI GetVolumeInformationByHandleW(HANDLE file, LPWSTR volume_name_buffer, DWORD volume_name_size,
                                          LPDWORD volume_serial_number, LPDWORD maximum_component_length,
                                          LPDWORD file_system_flags, LPWSTR file_system_name_buffer,
                                          DWORD file_system_name_size) {
    const winstub::VolumeInformationOutput output{volume_name_buffer,       volume_name_size,  volume_serial_number,
                                                  maximum_component_length, file_system_flags, file_system_name_buffer,
                                                  file_system_name_size,
                                                  ERROR_BAD_LENGTH};
    return Succeeded(
        Serve([&](winstub::Machine &machine) { return machine.GetVolumeInformationByHandleW(file, output); }));
}

UINT WINAPI GetDriveTypeW(LPCWSTR root_path_name) {
    UINT drive_type = DRIVE_UNKNOWN;
    const DWORD code =
        Serve([&](winstub::Machine &machine) { return machine.GetDriveTypeW(root_path_name, drive_type); });
    return Succeeded(code) ? drive_type : DRIVE_UNKNOWN;
}

BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR directory_name, PULARGE_INTEGER free_bytes_available_to_caller,
                                PULARGE_INTEGER total_number_of_bytes, PULARGE_INTEGER total_number_of_free_bytes) {
    return Succeeded(Serve([&](winstub::Machine &machine) {
        return machine.GetDiskFreeSpaceExW(directory_name, free_bytes_available_to_caller, total_number_of_bytes,
                                           total_number_of_free_bytes);
    }));
}

DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id, LPWSTR buffer, DWORD size,
                            void *arguments) {
    // The texts are English whatever the language; inserts are left as they are.
    (void)source;
    (void)language_id;
    (void)arguments;
    const DWORD supported = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & ~supported) || !buffer) {
        last_error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    const char16_t *text = winstub::SystemMessage(message_id);
    if (!text) {
        last_error = ERROR_MR_MID_NOT_FOUND;
        return 0;
    }
    const size_t length = std::char_traits<char16_t>::length(text);
    if (length >= size) {
        last_error = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::copy(text, text + length + 1, buffer);
    return static_cast<DWORD>(length);
}

}  // extern "C"
