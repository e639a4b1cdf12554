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

std::optional<std::u16string> RootOfBareDrive(std::u16string_view text) {
    if (text.size() == 2 && text[1] == u':' && ((text[0] >= u'A' && text[0] <= u'Z') || (text[0] >= u'a' && text[0] <= u'z'))) {
        return std::u16string(text) + u'\\';
    }
    return std::nullopt;
}

std::u16string_view WithoutDevicePrefix(std::u16string_view text) {
    if (text.size() >= 6 && text.substr(0, 2) == u"\\\\" && (text[2] == u'?' || text[2] == u'.') && text[3] == u'\\' &&
        RootOfBareDrive(text.substr(4, 2))) {
        return text.substr(4);
    }
    return text;
}

}  // namespace winstub
