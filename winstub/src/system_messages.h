// The system's texts for Windows error codes, as FormatMessageW gives them.
#ifndef WINSTUB_SYSTEM_MESSAGES_H
#define WINSTUB_SYSTEM_MESSAGES_H

#include "winstub/windows.h"

namespace winstub {

// Windows' English text for `code`, ending in ".\r\n"; null for a code
// without one.
const char16_t *SystemMessage(DWORD code);

}  // namespace winstub

#endif  // WINSTUB_SYSTEM_MESSAGES_H
