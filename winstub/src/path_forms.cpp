#include "path_forms.h"

#include <vector>

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

namespace {

bool IsSeparator(char16_t unit) {
    return unit == u'\\' || unit == u'/';
}

bool IsDriveLetter(char16_t unit) {
    return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z');
}

bool IsDrivePrefix(std::u16string_view text) {
    return text.size() >= 2 && IsDriveLetter(text[0]) && text[1] == u':';
}

// "C:" and the components of `rest` under that drive's root, "." and ".."
// taken away; ".." at the root stays there.
std::u16string Normalised(std::u16string_view drive, std::u16string_view rest) {
    std::vector<std::u16string_view> components;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = start;
        while (end < rest.size() && !IsSeparator(rest[end])) {
            ++end;
        }
        const std::u16string_view component = rest.substr(start, end - start);
        if (component == u"..") {
            if (!components.empty()) {
                components.pop_back();
            }
        } else if (!component.empty() && component != u".") {
            components.push_back(component);
        }
        start = end + 1;
    }
    std::u16string full{static_cast<char16_t>(drive[0] & ~0x20), u':', u'\\'};  // "c:" is drive C:
    for (size_t i = 0; i < components.size(); ++i) {
        full += components[i];
        if (i + 1 < components.size()) {
            full += u'\\';
        }
    }
    // "C:\dir\" keeps its separator, "C:\dir\." does not.
    if (!components.empty() && !rest.empty() && IsSeparator(rest.back())) {
        full += u'\\';
    }
    return full;
}

}  // namespace

std::u16string WithoutAddedBackslash(std::u16string path) {
    if (!path.empty() && path.back() == u'\\') {
        path.pop_back();
    }
    return path;
}

std::optional<std::u16string> FullDrivePath(std::u16string_view text, std::u16string_view current_directory,
                                            const DriveDirectory &drive_directory) {
    if (text.size() >= 4 && IsSeparator(text[0]) && IsSeparator(text[1]) && (text[2] == u'?' || text[2] == u'.') &&
        IsSeparator(text[3])) {
        const std::u16string_view path = text.substr(4);
        if (!IsDrivePrefix(path)) {
            return std::nullopt;
        }
        if (text[2] == u'.') {
            return Normalised(path.substr(0, 2), path.substr(2));
        }
        // \\?\ hands the rest to the file system untouched; "\\?\C:" is the
        // volume's device, no directory.
        return path.size() >= 3 && path[2] == u'\\' ? std::optional<std::u16string>(path) : std::nullopt;
    }
    if (text.empty() || (text.size() >= 2 && IsSeparator(text[0]) && IsSeparator(text[1]))) {
        return std::nullopt;  // UNC names are no drive's
    }
    if (IsDrivePrefix(text)) {
        const std::u16string_view drive = text.substr(0, 2);
        const std::u16string_view rest = text.substr(2);
        if (!rest.empty() && IsSeparator(rest[0])) {
            return Normalised(drive, rest);
        }
        // Drive-relative: from the current directory when it is on that drive.
        std::u16string base;
        if (IsDrivePrefix(current_directory) && (current_directory[0] | 0x20) == (drive[0] | 0x20)) {
            base = current_directory;
        } else if (std::optional<std::u16string> kept = drive_directory ? drive_directory(drive[0]) : std::nullopt) {
            base = *kept;
        } else {
            base = std::u16string(drive) + u'\\';
        }
        if (!IsDrivePrefix(base)) {
            return std::nullopt;
        }
        // "C:" alone is that directory as it is kept, without a separator.
        return Normalised(base.substr(0, 2),
                          rest.empty() ? base.substr(2) : base.substr(2) + u'\\' + std::u16string(rest));
    }
    if (!IsDrivePrefix(current_directory)) {
        return std::nullopt;
    }
    if (IsSeparator(text[0])) {
        return Normalised(current_directory.substr(0, 2), text);
    }
    return Normalised(current_directory.substr(0, 2),
                      std::u16string(current_directory.substr(2)) + u'\\' + std::u16string(text));
}

std::optional<std::u16string> FullAbsolutePath(std::u16string_view text) {
    const bool prefixed = text.size() >= 4 && IsSeparator(text[0]) && IsSeparator(text[1]);
    const std::u16string_view path = prefixed ? text.substr(4) : text;
    if (!IsDrivePrefix(path) || path.size() < 3 || !IsSeparator(path[2])) {
        return std::nullopt;
    }
    return FullDrivePath(text, u"", nullptr);
}

std::u16string WithoutTrailingSeparator(std::u16string path) {
    if (path.size() > 3 && path.back() == u'\\') {
        path.pop_back();
    }
    return path;
}

std::optional<std::u16string> ParentOf(std::u16string_view full_path) {
    const std::u16string path = WithoutTrailingSeparator(std::u16string(full_path));
    const size_t last = path.rfind(u'\\');
    if (path.size() <= 3 || last == std::u16string::npos) {
        return std::nullopt;
    }
    return path.substr(0, last == 2 ? 3 : last);  // "C:\\" keeps its separator
}

DWORD NotARootError(std::u16string_view full_path, const std::function<bool(std::u16string_view)> &exists) {
    if (full_path.empty() || full_path.back() != u'\\') {
        return ERROR_INVALID_NAME;
    }
    if (exists(full_path)) {
        return ERROR_DIR_NOT_ROOT;
    }
    const std::optional<std::u16string> parent = ParentOf(full_path);
    return parent && exists(*parent) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

}  // namespace winstub
