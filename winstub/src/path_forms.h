// The forms of Windows path text that every machine takes apart alike,
// before it looks anything up.
#ifndef WINSTUB_PATH_FORMS_H
#define WINSTUB_PATH_FORMS_H

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "winstub/windows.h"

namespace winstub {

// Whether GetVolumePathNamesForVolumeNameW takes `name` as a volume name at
// all: ERROR_SUCCESS for text of the form \\?\Volume{...}\ , else the code
// Windows refuses it with (ERROR_INVALID_PARAMETER for "\" alone,
// ERROR_INVALID_NAME for anything else, null and "" among them). What is
// between the braces is not checked: this machine's names are GUIDs, and the
// simulated machine's scripted names need not be.
DWORD VolumeNameFormError(std::u16string_view name);

// The root `X:\` that GetDriveTypeW takes a bare drive `X:` for; nothing for
// any other text.
std::optional<std::u16string> RootOfBareDrive(std::u16string_view text);

// A drive-letter path without the \\?\ or \\.\ that may come before it
// (\\?\C:\ is C:\); any other text as it is.
std::u16string_view WithoutDevicePrefix(std::u16string_view text);

// Whether `text` begins with `prefix`.
inline bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Where a drive-relative path ("C:", "C:x") starts on a drive that the
// current directory is not on: the drive's own current directory, which
// Windows keeps in the environment variable "=C:"; nullopt for the root.
using DriveDirectory = std::function<std::optional<std::u16string>(char16_t drive)>;

// Windows wants roots with a trailing backslash, and callers add one to
// whatever they are given: a Linux path ends before it.
std::u16string WithoutAddedBackslash(std::u16string path);

// The full path that Windows makes of a drive-letter path before it opens
// anything: relative paths are taken from `current_directory` (a full path,
// "C:\" or "C:\dir"), a path starting with one separator from its drive's
// root, "C:" alone and "C:x" from that drive's current directory; "/" is a
// separator, "." and ".." components and doubled separators go, and a
// trailing separator stays. \\?\ before a drive-letter path takes it as it
// is, \\.\ as a path of its own. nullopt for "" (ERROR_PATH_NOT_FOUND) and
// for text that is no drive-letter path (a volume or UNC name).
std::optional<std::u16string> FullDrivePath(std::u16string_view text, std::u16string_view current_directory,
                                            const DriveDirectory &drive_directory);

// The same of an absolute drive-letter path ("C:\dir", "C:/dir",
// "\\?\C:\dir"), which no current directory changes; nullopt for any other.
std::optional<std::u16string> FullAbsolutePath(std::u16string_view text);

// "C:\dir" of a full path "C:\dir\" (a root keeps its separator).
std::u16string WithoutTrailingSeparator(std::u16string path);

// The directory that holds a full path without its trailing separator;
// nullopt for a drive's root.
std::optional<std::u16string> ParentOf(std::u16string_view full_path);

// What GetVolumeInformationW answers for a full path that names no volume:
// a root must end with its separator (ERROR_INVALID_NAME); a directory that
// exists is no root (ERROR_DIR_NOT_ROOT); one that does not, in a directory
// that does, ERROR_FILE_NOT_FOUND, else ERROR_PATH_NOT_FOUND.
DWORD NotARootError(std::u16string_view full_path, const std::function<bool(std::u16string_view)> &exists);

}  // namespace winstub

#endif  // WINSTUB_PATH_FORMS_H
