#include "path_forms.h"

namespace winstub {

DWORD VolumeNameFormError(std::u16string_view name) {
    constexpr std::u16string_view head = u"\\\\?\\Volume{";
    constexpr std::u16string_view tail = u"}\\";
    if (name.size() > head.size() + tail.size() && name.substr(0, head.size()) == head &&
        name.substr(name.size() - tail.size()) == tail) {
        return ERROR_SUCCESS;
    }
    return name == u"\\" ? ERROR_INVALID_PARAMETER : ERROR_INVALID_NAME;
}

}  // namespace winstub
