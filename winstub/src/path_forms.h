// The forms of Windows path text that every machine takes apart alike,
// before it looks anything up.
#ifndef WINSTUB_PATH_FORMS_H
#define WINSTUB_PATH_FORMS_H

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

}  // namespace winstub

#endif  // WINSTUB_PATH_FORMS_H
