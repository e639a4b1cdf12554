// Stand-in for <windows.h> on systems other than Windows: the types, constants
// and kernel32 functions that the project's native modules use, declared as
// Windows declares them. libwinstub implements the functions, either on a
// simulated machine (tests) or on the machine the process runs on.
#ifndef WINSTUB_WINDOWS_H
#define WINSTUB_WINDOWS_H

#include <stdint.h>

#ifdef _WIN32
// Built for Windows as a DLL of its own (libwinstub.dll), which a module's
// Windows build links in place of kernel32 (the Windows Python leg).
#define WINAPI __stdcall
#ifdef WINSTUB_BUILDING
#define WINBASEAPI __declspec(dllexport)
#else
#define WINBASEAPI __declspec(dllimport)
#endif
#else
#define WINAPI
#define WINBASEAPI __attribute__((visibility("default")))
#endif

typedef char16_t WCHAR;  // UTF-16 code unit, as on Windows
typedef WCHAR *LPWSTR;
typedef WCHAR *LPWCH;
typedef const WCHAR *LPCWSTR;
typedef uint32_t DWORD;  // Windows' unsigned long is 32 bits
typedef DWORD *LPDWORD;
typedef DWORD *PDWORD;
typedef unsigned int UINT;
typedef int BOOL;
typedef void *HANDLE;
typedef void *LPVOID;
typedef const void *LPCVOID;

typedef union _ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    } u;
    uint64_t QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_NOT_READY 21u
#define ERROR_BAD_LENGTH 24u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_DIR_NOT_ROOT 144u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_MORE_DATA 234u
#define ERROR_MR_MID_NOT_FOUND 317u
#define ERROR_INTERNAL_ERROR 1359u

#define DRIVE_UNKNOWN 0u
#define DRIVE_NO_ROOT_DIR 1u
#define DRIVE_REMOVABLE 2u
#define DRIVE_FIXED 3u
#define DRIVE_REMOTE 4u
#define DRIVE_CDROM 5u
#define DRIVE_RAMDISK 6u

// File-system flags reported by GetVolumeInformationW.
#define FILE_CASE_SENSITIVE_SEARCH 0x00000001u
#define FILE_CASE_PRESERVED_NAMES 0x00000002u
#define FILE_UNICODE_ON_DISK 0x00000004u
#define FILE_PERSISTENT_ACLS 0x00000008u
#define FILE_FILE_COMPRESSION 0x00000010u
#define FILE_VOLUME_QUOTAS 0x00000020u
#define FILE_SUPPORTS_SPARSE_FILES 0x00000040u
#define FILE_SUPPORTS_REPARSE_POINTS 0x00000080u
#define FILE_VOLUME_IS_COMPRESSED 0x00008000u
#define FILE_SUPPORTS_OBJECT_IDS 0x00010000u
#define FILE_SUPPORTS_ENCRYPTION 0x00020000u
#define FILE_NAMED_STREAMS 0x00040000u
#define FILE_READ_ONLY_VOLUME 0x00080000u
#define FILE_SUPPORTS_TRANSACTIONS 0x00200000u
#define FILE_SUPPORTS_HARD_LINKS 0x00400000u
#define FILE_SUPPORTS_EXTENDED_ATTRIBUTES 0x00800000u
#define FILE_SUPPORTS_OPEN_BY_FILE_ID 0x01000000u
#define FILE_SUPPORTS_USN_JOURNAL 0x02000000u

// Error modes: which errors the system reports to the calling thread instead
// of opening a dialog box.
#define SEM_FAILCRITICALERRORS 0x0001u
#define SEM_NOGPFAULTERRORBOX 0x0002u
#define SEM_NOOPENFILEERRORBOX 0x8000u

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u

#ifdef __cplusplus
extern "C" {
#endif

WINBASEAPI DWORD WINAPI GetLastError(void);
WINBASEAPI void WINAPI SetLastError(DWORD code);

// The calling thread's error mode (Windows 7 and later). Every thread starts
// with 0 here, the default of a process that never set its own.
WINBASEAPI DWORD WINAPI GetThreadErrorMode(void);
WINBASEAPI BOOL WINAPI SetThreadErrorMode(DWORD new_mode, LPDWORD old_mode);

WINBASEAPI HANDLE WINAPI FindFirstVolumeW(LPWSTR volume_name, DWORD buffer_length);
WINBASEAPI BOOL WINAPI FindNextVolumeW(HANDLE find_volume, LPWSTR volume_name, DWORD buffer_length);
WINBASEAPI BOOL WINAPI FindVolumeClose(HANDLE find_volume);

WINBASEAPI BOOL WINAPI GetVolumePathNamesForVolumeNameW(LPCWSTR volume_name, LPWCH volume_path_names,
                                                        DWORD buffer_length, PDWORD return_length);

WINBASEAPI BOOL WINAPI GetVolumeInformationW(LPCWSTR root_path_name, LPWSTR volume_name_buffer, DWORD volume_name_size,
                                             LPDWORD volume_serial_number, LPDWORD maximum_component_length,
                                             LPDWORD file_system_flags, LPWSTR file_system_name_buffer,
                                             DWORD file_system_name_size);
WINBASEAPI BOOL WINAPI GetVolumeInformationByHandleW(HANDLE file, LPWSTR volume_name_buffer, DWORD volume_name_size,
                                                     LPDWORD volume_serial_number, LPDWORD maximum_component_length,
                                                     LPDWORD file_system_flags, LPWSTR file_system_name_buffer,
                                                     DWORD file_system_name_size);

WINBASEAPI UINT WINAPI GetDriveTypeW(LPCWSTR root_path_name);
WINBASEAPI BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR directory_name, PULARGE_INTEGER free_bytes_available_to_caller,
                                           PULARGE_INTEGER total_number_of_bytes,
                                           PULARGE_INTEGER total_number_of_free_bytes);

// Only FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS with a caller's
// buffer is supported: the system's text for an error code, as on Windows
// ending in ".\r\n". Returns the number of characters written, 0 on failure.
WINBASEAPI DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id, LPWSTR buffer,
                                       DWORD size, void *arguments);

#ifdef __cplusplus
}
#endif

#endif  // WINSTUB_WINDOWS_H
