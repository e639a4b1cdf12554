// What the conformance test needs besides the Windows functions it checks:
// the machine under test made ready, open files on its volumes, and which
// documented behaviours the kernel32 under test is known to lack. One
// implementation for the stand-in, one for Windows' own kernel32.
#ifndef CONFORMANCE_MACHINE_ACCESS_H
#define CONFORMANCE_MACHINE_ACCESS_H

#include <string>
#include <vector>

#include "windows/platform.h"

using Text = std::basic_string<WCHAR>;

// Makes the machine under test ready; returns what it is, for the log.
std::string PrepareMachine();

// A handle of an open file on the volume `name`, whose mount points are
// `mount_points`; INVALID_HANDLE_VALUE when none can be opened.
HANDLE OpenFileOnVolume(const Text &name, const std::vector<Text> &mount_points);
bool CloseFile(HANDLE file);

// An existing directory on a drive that is no volume's root (the Windows
// directory), as a full path without its trailing backslash.
Text DirectoryNotARoot();
// The process's current directory, as GetCurrentDirectoryW gives it, and a
// change of it (false when refused).
Text CurrentDirectoryOfProcess();
bool ChangeCurrentDirectory(const Text &path);
// Where the drive of `path` ("C:\\dir") starts for the drive-relative "C:"
// while the current directory is on another drive: Windows keeps it in the
// environment variable "=C:".
bool KeepDriveDirectory(const Text &path);

// A directory link (a symbolic link) at `link` to the directory `target`,
// both full paths; false where none can be made (Wine makes none). Its removal.
bool MakeDirectoryLink(const Text &link, const Text &target);
bool RemoveDirectoryLink(const Text &link);

// False where GetDriveTypeW of a volume GUID name does not answer as
// documented (Wine answers DRIVE_UNKNOWN).
bool DriveTypeOfVolumeNamesDocumented();

// False where GetVolumePathNamesForVolumeNameW of "\" alone answers
// ERROR_INVALID_NAME rather than Windows' ERROR_INVALID_PARAMETER (Wine).
bool BackslashVolumeNameRefusedAsParameter();

#endif  // CONFORMANCE_MACHINE_ACCESS_H
