// The Windows volume functions as Windows documents them, checked on
// whatever machine the program runs on: built against the stand-in, and
// built for Windows and run against the real kernel32 (under Wine). Nothing
// here knows the machine's volumes beforehand: every expectation follows
// from what the machine itself reports. Every Windows function that the
// project's modules call is called here with the arguments they use.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "machine_access.h"

namespace {

int passed = 0;
int failed = 0;
// Volumes whose information was compared by name, mount point and handle
// with a label, a serial number and a file system name that are not empty.
int labelled_volumes_compared = 0;

// What a check is about, for the log: ASCII text of UTF-16 names.
std::string Show(const Text &text) {
    std::string shown;
    for (WCHAR unit : text)
        shown += unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?';
    return shown;
}

Text Wide(const char *ascii) {
    Text text;
    while (*ascii)
        text += static_cast<WCHAR>(*ascii++);
    return text;
}

void Check(bool ok, const std::string &what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

// A call that must fail with `code`, as the last error says.
void CheckFailure(bool failed_call, DWORD code, const std::string &what) {
    const DWORD error = GetLastError();
    Check(failed_call && error == code, what + ": fails with error " + std::to_string(code) + " (got " +
                                            (failed_call ? "error " + std::to_string(error) : "success") + ")");
}

// Room for any name of the volume functions, with its NUL.
constexpr DWORD kNameLength = MAX_PATH + 1;

Text NameIn(const WCHAR *buffer) {
    return Text(buffer);
}

bool LooksLikeVolumeName(const Text &name) {
    const Text head = Wide("\\\\?\\Volume{");
    const Text tail = Wide("}\\");
    // \\?\Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\ .
    return name.size() == 49 && name.compare(0, head.size(), head) == 0 &&
           name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
}

// The volumes in enumeration order; the search ends with ERROR_NO_MORE_FILES.
std::vector<Text> EnumerateVolumes() {
    std::vector<Text> names;
    WCHAR buffer[kNameLength];
    HANDLE search = FindFirstVolumeW(buffer, kNameLength);
    Check(search != INVALID_HANDLE_VALUE, "FindFirstVolumeW finds a volume");
    if (search == INVALID_HANDLE_VALUE) return names;
    names.push_back(NameIn(buffer));
    while (FindNextVolumeW(search, buffer, kNameLength))
        names.push_back(NameIn(buffer));
    CheckFailure(true, ERROR_NO_MORE_FILES, "FindNextVolumeW after the last volume");
    Check(FindVolumeClose(search) != FALSE, "FindVolumeClose closes the search");
    for (const Text &name : names)
        Check(LooksLikeVolumeName(name), "a volume GUID name: " + Show(name));
    return names;
}

// A name buffer one character short of the name and its NUL fails the
// call; one of exactly that size serves it.
void CheckNameBufferSize(const std::vector<Text> &names) {
    WCHAR buffer[kNameLength];
    const DWORD first = static_cast<DWORD>(names[0].size());
    CheckFailure(FindFirstVolumeW(buffer, first) == INVALID_HANDLE_VALUE, ERROR_FILENAME_EXCED_RANGE,
                 "FindFirstVolumeW with no room for the NUL");
    CheckFailure(FindFirstVolumeW(buffer, 0) == INVALID_HANDLE_VALUE, ERROR_FILENAME_EXCED_RANGE,
                 "FindFirstVolumeW with a buffer of 0 characters");
    HANDLE search = FindFirstVolumeW(buffer, first + 1);
    Check(search != INVALID_HANDLE_VALUE && NameIn(buffer) == names[0],
          "FindFirstVolumeW with room for the name and its NUL");
    if (search == INVALID_HANDLE_VALUE) return;
    if (names.size() > 1) {
        const DWORD second = static_cast<DWORD>(names[1].size());
        CheckFailure(!FindNextVolumeW(search, buffer, second), ERROR_FILENAME_EXCED_RANGE,
                     "FindNextVolumeW with no room for the NUL");
    }
    Check(FindVolumeClose(search) != FALSE, "FindVolumeClose closes the search");
}

// The packed answer of GetVolumePathNamesForVolumeNameW: each path with its
// NUL, then one more NUL, `length` characters in all. Empty when malformed.
std::vector<Text> UnpackPaths(const std::vector<WCHAR> &buffer, DWORD length, bool *well_formed) {
    std::vector<Text> paths;
    *well_formed = length >= 1 && length <= buffer.size() && buffer[length - 1] == 0;
    if (!*well_formed) return paths;
    size_t start = 0;
    while (start < length - 1) {
        Text path(&buffer[start]);  // up to its NUL
        if (path.empty() || start + path.size() >= length - 1 || path.back() != '\\') {
            *well_formed = false;
            return {};
        }
        paths.push_back(path);
        start += path.size() + 1;
    }
    return paths;
}

// The mount points of a volume, checked in their packed layout; a buffer
// too small for them fails with ERROR_MORE_DATA and tells the length needed.
std::vector<Text> MountPoints(const Text &name) {
    const std::string what = "GetVolumePathNamesForVolumeNameW(" + Show(name) + ")";
    std::vector<WCHAR> buffer(4 * kNameLength, 0xFFFF);
    DWORD needed = 0;
    if (!GetVolumePathNamesForVolumeNameW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) {
        Check(false, what + " succeeds with a large buffer (error " + std::to_string(GetLastError()) + ")");
        return {};
    }
    bool well_formed = false;
    std::vector<Text> paths = UnpackPaths(buffer, needed, &well_formed);
    Check(well_formed,
          what + ": paths packed with their NULs and a closing NUL, " + std::to_string(needed) + " characters");
    if (needed < 2) return paths;

    // Smaller than any path's room (a drive letter path needs 5 with both NULs),
    // and the module's first try: room for one drive letter path.
    if (needed > 5) {
        std::vector<WCHAR> first_try(5);
        DWORD told = 0;
        CheckFailure(!GetVolumePathNamesForVolumeNameW(name.c_str(), first_try.data(), 5, &told), ERROR_MORE_DATA,
                     what + " into the module's first 5 characters");
        Check(told == needed, what + " into 5 characters tells the " + std::to_string(needed) + " needed (told " +
                                  std::to_string(told) + ")");
    }
    // No buffer at all, of length 0: the length needed is told all the same.
    DWORD told_without_buffer = 0;
    CheckFailure(!GetVolumePathNamesForVolumeNameW(name.c_str(), nullptr, 0, &told_without_buffer), ERROR_MORE_DATA,
                 what + " into no buffer");
    Check(told_without_buffer == needed, what + " into no buffer tells the " + std::to_string(needed) +
                                             " needed (told " + std::to_string(told_without_buffer) + ")");
    for (DWORD small : {DWORD{2}, needed - 1}) {
        std::vector<WCHAR> short_buffer(small);
        DWORD told = 0;
        CheckFailure(!GetVolumePathNamesForVolumeNameW(name.c_str(), short_buffer.data(), small, &told),
                     ERROR_MORE_DATA, what + " into " + std::to_string(small) + " characters");
        Check(told == needed, what + " into " + std::to_string(small) + " characters tells the " +
                                  std::to_string(needed) + " needed (told " + std::to_string(told) + ")");
    }
    std::vector<WCHAR> exact(needed);
    DWORD told = 0;
    Check(GetVolumePathNamesForVolumeNameW(name.c_str(), exact.data(), needed, &told) && told == needed &&
              std::equal(exact.begin(), exact.end(), buffer.begin()),
          what + " into exactly the " + std::to_string(needed) + " characters needed");
    return paths;
}

struct Information {
    bool ok = false;
    DWORD error = 0;
    Text label, filesystem;
    DWORD serial = 0, max_component = 0, flags = 0;

    bool operator==(const Information &other) const {
        return ok == other.ok && label == other.label && filesystem == other.filesystem && serial == other.serial &&
               max_component == other.max_component && flags == other.flags;
    }
    std::string Show() const {
        if (!ok) return "error " + std::to_string(error);
        return "label '" + ::Show(label) + "' serial " + std::to_string(serial) + " component " +
               std::to_string(max_component) + " flags " + std::to_string(flags) + " file system '" +
               ::Show(filesystem) + "'";
    }
};

template <typename Call>
Information ReadInformation(Call call) {
    WCHAR label[kNameLength] = {0};
    WCHAR filesystem[kNameLength] = {0};
    Information information;
    information.ok = call(label, &information.serial, &information.max_component, &information.flags, filesystem);
    if (!information.ok) {
        information.error = GetLastError();
        return information;
    }
    information.label = label;
    information.filesystem = filesystem;
    return information;
}

// Of NULL when `root` is null.
Information InformationOf(const WCHAR *root) {
    return ReadInformation([&](WCHAR *label, DWORD *serial, DWORD *component, DWORD *flags, WCHAR *filesystem) {
        return GetVolumeInformationW(root, label, kNameLength, serial, component, flags, filesystem, kNameLength) !=
               FALSE;
    });
}

Information InformationByName(const Text &root) {
    return InformationOf(root.c_str());
}

Information InformationByHandle(HANDLE file) {
    return ReadInformation([&](WCHAR *label, DWORD *serial, DWORD *component, DWORD *flags, WCHAR *filesystem) {
        return GetVolumeInformationByHandleW(file, label, kNameLength, serial, component, flags, filesystem,
                                             kNameLength) != FALSE;
    });
}

// The information of a volume is the same by its GUID name, by each of its
// mount points and by a file open on it; a closed handle is refused.
void CheckInformation(const Text &name, const std::vector<Text> &mount_points) {
    const Information by_name = InformationByName(name);
    const std::string what = "the information of " + Show(name);
    // A drive without a medium (an empty DVD drive) answers ERROR_NOT_READY.
    Check(by_name.ok || by_name.error == ERROR_NOT_READY, what + " by name: " + by_name.Show());
    for (const Text &mount_point : mount_points) {
        std::vector<Text> spellings{mount_point};
        if (mount_point.size() == 3 && mount_point[1] == ':') {
            // A drive's root also with the prefixes that skip parsing.
            spellings.push_back(Wide("\\\\?\\") + mount_point);
            spellings.push_back(Wide("\\\\.\\") + mount_point);
        }
        for (const Text &spelling : spellings) {
            const Information by_mount_point = InformationByName(spelling);
            Check(by_mount_point == by_name || (!by_name.ok && by_mount_point.error == by_name.error),
                  what + " by mount point " + Show(spelling) + ": " + by_mount_point.Show() + ", by name " +
                      by_name.Show());
        }
    }
    if (!by_name.ok) return;

    HANDLE file = OpenFileOnVolume(name, mount_points);
    Check(file != INVALID_HANDLE_VALUE, "a file opens on " + Show(name));
    if (file == INVALID_HANDLE_VALUE) return;
    const Information by_handle = InformationByHandle(file);
    Check(by_handle == by_name, what + " by handle: " + by_handle.Show() + ", by name " + by_name.Show());
    if (by_handle.ok && by_handle.filesystem.size() >= 2) {
        // A file-system name buffer too short for the name: Windows answers
        // ERROR_BAD_LENGTH here, not ERROR_INSUFFICIENT_BUFFER.
        WCHAR short_name[2];
        DWORD component = 0, flags = 0;
        CheckFailure(!GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, &component, &flags, short_name, 2),
                     ERROR_BAD_LENGTH, what + " by handle into a 2-character file-system name buffer");
    }
    if (by_handle == by_name && !by_name.label.empty() && by_name.serial != 0 && !by_name.filesystem.empty() &&
        !mount_points.empty()) {
        ++labelled_volumes_compared;
    }
    Check(CloseFile(file), "the file on " + Show(name) + " closes");
    CheckFailure(!InformationByHandle(file).ok, ERROR_INVALID_HANDLE, what + " by a closed handle");
    CheckFailure(!InformationByHandle(INVALID_HANDLE_VALUE).ok, ERROR_INVALID_HANDLE,
                 "the information by INVALID_HANDLE_VALUE");
}

bool IsDriveRoot(const Text &path) {
    return path.size() == 3 && path[1] == ':' && path[2] == '\\';
}

// "C:/dir" of "C:\\dir".
Text Slashed(Text path) {
    std::replace(path.begin(), path.end(), static_cast<WCHAR>('\\'), static_cast<WCHAR>('/'));
    return path;
}

void CheckRootRefused(const Text &root, DWORD code, const std::string &why) {
    const Information information = InformationByName(root);
    Check(!information.ok && information.error == code, "GetVolumeInformationW('" + Show(root) + "'), " + why +
                                                            ", fails with error " + std::to_string(code) + ": " +
                                                            information.Show());
}

void CheckSameVolume(const Text &spelling, const Information &expected, const std::string &why) {
    const Information information = InformationByName(spelling);
    Check(information == expected, "GetVolumeInformationW('" + Show(spelling) + "'), " + why + ": " +
                                       information.Show() + ", expected " + expected.Show());
}

// A folder mount point answers only with its trailing backslash, also
// spelt with "." and ".."; a directory missing under it is a missing file.
void CheckFolderMountPoints(const Text &name, const std::vector<Text> &mount_points) {
    const Information by_name = InformationByName(name);
    for (const Text &mount_point : mount_points) {
        if (mount_point.size() <= 3 || mount_point[1] != ':') continue;
        const Text folder = mount_point.substr(0, mount_point.size() - 1);
        const Text last = folder.substr(folder.rfind('\\') + 1);
        CheckRootRefused(folder, ERROR_INVALID_NAME, "a folder mount point without its trailing backslash");
        CheckSameVolume(Slashed(folder) + Wide("/../") + last + Wide("/.\\"), by_name, "a folder mount point");
        CheckRootRefused(mount_point + Wide("no-such-directory\\"), ERROR_FILE_NOT_FOUND,
                         "missing under a folder mount point");
    }
}

// NULL and "\\" name the root of the current directory's drive; to
// GetDiskFreeSpaceExW NULL is the current directory itself.
void CheckCurrentDirectoryRoots() {
    const Text here = CurrentDirectoryOfProcess();
    Check(here.size() >= 3 && IsDriveRoot(here.substr(0, 3)), "the current directory is on a drive: " + Show(here));
    if (here.size() < 3 || !IsDriveRoot(here.substr(0, 3))) return;
    const Text root = here.substr(0, 3);
    const Information of_root = InformationByName(root);
    const Information of_null = InformationOf(nullptr);
    Check(of_null == of_root, "GetVolumeInformationW(NULL) answers for " + Show(root) + ": " + of_null.Show() +
                                  ", expected " + of_root.Show());
    CheckSameVolume(Wide("\\"), of_root, "the current drive's root");
    // Totals only: what is free may change meanwhile.
    const auto total = [](const WCHAR *directory) {
        ULARGE_INTEGER bytes;
        bytes.QuadPart = 0;
        const bool ok = GetDiskFreeSpaceExW(directory, nullptr, &bytes, nullptr) != FALSE;
        return ok ? std::to_string(bytes.QuadPart) : "error " + std::to_string(GetLastError());
    };
    const std::string of_here = total((here.size() == 3 ? here : here + Wide("\\")).c_str());
    Check(total(nullptr) == of_here, "GetDiskFreeSpaceExW(NULL) tells the total of " + Show(here) + " (" +
                                         total(nullptr) + ", expected " + of_here + ")");
    for (const Text &current : {Wide("\\"), Wide("/")}) {
        Check(total(current.c_str()) == total(root.c_str()), "GetDiskFreeSpaceExW('" + Show(current) +
                                                                 "') tells the total of " + Show(root) + " (" +
                                                                 total(current.c_str()) + ")");
    }
}

// A directory that is no root, with and without its trailing backslash; the
// drive's root spelt through it; "C:", which is the current directory on
// drive C: (or the one kept for C:), answering only when that is the root.
void CheckDirectoryRoots(const std::vector<Text> &all_mount_points) {
    const Text here = CurrentDirectoryOfProcess();
    const Text directory = DirectoryNotARoot();
    const bool usable = directory.size() > 3 && IsDriveRoot(directory.substr(0, 3)) && directory.back() != '\\';
    Check(usable, "a directory that is no root: " + Show(directory));
    if (!usable) return;
    const Text drive = directory.substr(0, 2);
    const Text root = drive + Wide("\\");
    const Information of_root = InformationByName(root);
    Check(of_root.ok, "GetVolumeInformationW(" + Show(root) + "): " + of_root.Show());

    CheckRootRefused(directory + Wide("\\"), ERROR_DIR_NOT_ROOT, "a directory that is no root");
    CheckRootRefused(directory, ERROR_INVALID_NAME, "a directory without its trailing backslash");
    Text up;
    for (size_t i = 3; i < directory.size(); ++i)
        if (directory[i] == '\\') up += Wide("..\\");
    CheckSameVolume(directory + Wide("\\..\\") + up, of_root, "the drive's root through " + Show(directory));
    CheckSameVolume(Slashed(directory) + Wide("/../") + Slashed(up) + Wide(".\\"), of_root,
                    "the drive's root through " + Show(directory));

    Check(ChangeCurrentDirectory(root), "the current directory moves to " + Show(root));
    CheckSameVolume(drive, of_root, "with the current directory at " + Show(root));
    Check(ChangeCurrentDirectory(directory), "the current directory moves to " + Show(directory));
    CheckRootRefused(drive, ERROR_INVALID_NAME, "with the current directory at " + Show(directory));
    Text elsewhere;
    for (const Text &mount_point : all_mount_points) {
        if (elsewhere.empty() && IsDriveRoot(mount_point) && (mount_point[0] | 0x20) != (drive[0] | 0x20) &&
            ChangeCurrentDirectory(mount_point))
            elsewhere = mount_point;
    }
    Check(!elsewhere.empty(), "the current directory moves to another drive's root");
    if (!elsewhere.empty()) {
        // Leaving the drive remembers nothing of it.
        CheckSameVolume(drive, of_root, "with the current directory at " + Show(elsewhere));
        Check(KeepDriveDirectory(directory), "=" + Show(drive) + " set to " + Show(directory));
        CheckRootRefused(drive, ERROR_INVALID_NAME, "with =" + Show(drive) + " at " + Show(directory));
        Check(KeepDriveDirectory(root), "=" + Show(drive) + " set to " + Show(root));
        CheckSameVolume(drive, of_root, "with =" + Show(drive) + " at " + Show(root));
    }
    Check(ChangeCurrentDirectory(here), "the current directory moves back to " + Show(here));
}

// A directory link to a drive's root answers as that root, and so does a
// folder mount point reached through it; not without its backslash.
void CheckRootsThroughLinks(const std::vector<Text> &all_mount_points) {
    const Text directory = DirectoryNotARoot();
    if (directory.size() < 3 || !IsDriveRoot(directory.substr(0, 3))) return;  // checked above
    // Another drive's root, and the root of the link's own drive.
    std::vector<Text> targets;
    for (const Text &mount_point : all_mount_points) {
        if (targets.empty() && IsDriveRoot(mount_point) && mount_point[0] != directory[0] &&
            InformationByName(mount_point).ok)
            targets.push_back(mount_point);
    }
    targets.push_back(directory.substr(0, 3));
    const Text link = directory.substr(0, 3) + Wide("conformance-link");
    for (const Text &target : targets) {
        RemoveDirectoryLink(link);  // left by a run that did not end
        if (!MakeDirectoryLink(link, target)) {
            std::printf("  not checked: no directory link can be made at %s (error %lu)\n", Show(link).c_str(),
                        static_cast<unsigned long>(GetLastError()));
            return;
        }
        CheckSameVolume(link + Wide("\\"), InformationByName(target), "a link to " + Show(target));
        for (const Text &mount_point : all_mount_points) {
            if (mount_point.size() > 3 && mount_point[0] == target[0] && mount_point[1] == ':')
                CheckSameVolume(link + Wide("\\") + mount_point.substr(3), InformationByName(mount_point),
                                "a folder mount point through a link to " + Show(target));
        }
        CheckRootRefused(link, ERROR_INVALID_NAME, "a link without its trailing backslash");
        const bool removed = RemoveDirectoryLink(link);
        Check(removed, "the link " + Show(link) + " is removed (error " + std::to_string(GetLastError()) + ")");
    }
}

bool IsDriveType(UINT type) {
    return type >= DRIVE_REMOVABLE && type <= DRIVE_RAMDISK;
}

void CheckDriveTypes(const Text &name, const std::vector<Text> &mount_points) {
    // The module asks with the GUID name.
    const UINT by_name = GetDriveTypeW(name.c_str());
    for (const Text &mount_point : mount_points) {
        const UINT type = GetDriveTypeW(mount_point.c_str());
        Check(IsDriveType(type),
              "GetDriveTypeW(" + Show(mount_point) + ") is a drive type (" + std::to_string(type) + ")");
        if (mount_point.size() == 3 && mount_point[1] == ':') {
            // A bare "X:" is the drive; "X?" and "X" are no roots.
            const Text drive = mount_point.substr(0, 2);
            Check(GetDriveTypeW(drive.c_str()) == type, "GetDriveTypeW(" + Show(drive) + ") is that of " +
                                                             Show(mount_point) + " (" +
                                                             std::to_string(GetDriveTypeW(drive.c_str())) + ")");
            for (const Text &no_root : {drive.substr(0, 1) + Wide("?"), drive.substr(0, 1)}) {
                Check(GetDriveTypeW(no_root.c_str()) == DRIVE_NO_ROOT_DIR, "GetDriveTypeW(" + Show(no_root) + ")");
            }
        }
        // Documented: a volume GUID name is a root like any other. Wine
        // answers DRIVE_UNKNOWN for every GUID name; checked elsewhere only.
        if (DriveTypeOfVolumeNamesDocumented()) {
            Check(by_name == type, "GetDriveTypeW(" + Show(name) + ") is that of its mount point " + Show(mount_point) +
                                       " (" + std::to_string(by_name) + ")");
        }
    }
    if (!DriveTypeOfVolumeNamesDocumented()) {
        Check(by_name == DRIVE_UNKNOWN, "GetDriveTypeW(" + Show(name) + ") is DRIVE_UNKNOWN, as Wine answers (" +
                                            std::to_string(by_name) + ")");
    }
}

// The size of a volume, as the module asks it: by the GUID name, with only
// the total asked for. The same by each mount point, and with all three
// outputs (what is free is no more than the total).
void CheckCapacity(const Text &name, const std::vector<Text> &mount_points, bool ready) {
    const std::string what = "GetDiskFreeSpaceExW(" + Show(name) + ")";
    ULARGE_INTEGER total;
    total.QuadPart = 0;
    const bool by_name = GetDiskFreeSpaceExW(name.c_str(), nullptr, &total, nullptr) != FALSE;
    if (!ready) {
        // A drive without a medium has no size either.
        CheckFailure(!by_name, ERROR_NOT_READY, what + " of a volume that is not ready");
        return;
    }
    Check(by_name && total.QuadPart > 0,
          what + " tells a size (" + (by_name ? std::to_string(total.QuadPart) : "error " + std::to_string(GetLastError())) +
              ")");
    for (const Text &mount_point : mount_points) {
        ULARGE_INTEGER free_to_caller, total_by_mount_point, total_free;
        free_to_caller.QuadPart = total_by_mount_point.QuadPart = total_free.QuadPart = 0;
        const bool ok = GetDiskFreeSpaceExW(mount_point.c_str(), &free_to_caller, &total_by_mount_point, &total_free);
        Check(ok && total_by_mount_point.QuadPart == total.QuadPart && free_to_caller.QuadPart <= total.QuadPart &&
                  total_free.QuadPart <= total.QuadPart,
              "GetDiskFreeSpaceExW(" + Show(mount_point) + ") tells the size of " + Show(name) + " (" +
                  std::to_string(total_by_mount_point.QuadPart) + " of " + std::to_string(total.QuadPart) + ")");
    }
}

// The system's texts of the error codes that the module raises, as
// windows.winwrap asks for them: a caller's buffer of 1024 characters.
void CheckMessages() {
    for (DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE,
                       ERROR_NOT_ENOUGH_MEMORY, ERROR_NO_MORE_FILES, ERROR_NOT_READY, ERROR_INVALID_PARAMETER,
                       ERROR_MORE_DATA}) {
        WCHAR buffer[1024];
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                            0, buffer, sizeof buffer / sizeof buffer[0], nullptr);
        const Text text = length > 0 && length < 1024 ? Text(buffer, length) : Text();
        Check(length > 2 && text.size() == Text(buffer).size() && text[length - 2] == '\r' && text[length - 1] == '\n',
              "FormatMessageW(" + std::to_string(code) + ") is a text ending in a line break: '" + Show(text) + "'");
    }
}

// The thread's error mode, as the module sets and restores it around the
// queries that may read a drive's medium: the old mode comes back, and
// unknown bits are refused and change nothing.
void CheckThreadErrorMode() {
    const DWORD quiet = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
    const DWORD caller = GetThreadErrorMode();
    DWORD old_mode = 0xDEADBEEF;
    Check(SetThreadErrorMode(caller | quiet, &old_mode) && old_mode == caller,
          "SetThreadErrorMode hands back the caller's mode (" + std::to_string(old_mode) + ")");
    Check(GetThreadErrorMode() == (caller | quiet), "GetThreadErrorMode reads the mode just set");
    CheckFailure(!SetThreadErrorMode(0x0004, nullptr), ERROR_INVALID_PARAMETER, "SetThreadErrorMode of an unknown bit");
    Check(GetThreadErrorMode() == (caller | quiet), "a refused mode changes nothing");
    Check(SetThreadErrorMode(caller, nullptr) && GetThreadErrorMode() == caller, "the caller's mode comes back");
}

// A volume GUID name that no volume has, and a drive letter that no volume
// is mounted at.
void CheckUnknownNamesAndRoots(const std::vector<Text> &names, const std::vector<Text> &all_mount_points) {
    Text unknown_name = Wide("\\\\?\\Volume{8d7c5a3e-0f4b-4e21-9c6d-3b2a1f0e9d8c}\\");
    const Text zero_name = Wide("\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\");
    for (const Text &name : names)
        Check(name != unknown_name && name != zero_name, "the unknown volume names are not a volume's");
    WCHAR paths[kNameLength];
    DWORD needed = 0;
    CheckFailure(!GetVolumePathNamesForVolumeNameW(unknown_name.c_str(), paths, kNameLength, &needed),
                 ERROR_FILE_NOT_FOUND, "GetVolumePathNamesForVolumeNameW of an unknown volume");
    CheckFailure(!GetVolumePathNamesForVolumeNameW(zero_name.c_str(), paths, kNameLength, &needed),
                 ERROR_FILE_NOT_FOUND, "GetVolumePathNamesForVolumeNameW of the all-zero GUID");
    // Text that is not of the volume name's form is refused before any
    // volume is looked for; so is a name without its trailing backslash.
    CheckFailure(!GetVolumePathNamesForVolumeNameW(nullptr, paths, kNameLength, &needed), ERROR_INVALID_NAME,
                 "GetVolumePathNamesForVolumeNameW(NULL)");
    for (const Text &name : {Wide(""), Wide("C:\\"), Wide("\\\\?\\C:\\"), names[0].substr(0, names[0].size() - 1)}) {
        CheckFailure(!GetVolumePathNamesForVolumeNameW(name.c_str(), paths, kNameLength, &needed), ERROR_INVALID_NAME,
                     "GetVolumePathNamesForVolumeNameW('" + Show(name) + "')");
    }
    // Windows answers ERROR_INVALID_PARAMETER for "\" alone; Wine takes it
    // for a name like any other.
    CheckFailure(!GetVolumePathNamesForVolumeNameW(Wide("\\").c_str(), paths, kNameLength, &needed),
                 BackslashVolumeNameRefusedAsParameter() ? ERROR_INVALID_PARAMETER : ERROR_INVALID_NAME,
                 "GetVolumePathNamesForVolumeNameW('\\')");
    const Information information = InformationByName(unknown_name);
    Check(!information.ok && information.error == ERROR_PATH_NOT_FOUND,
          "GetVolumeInformationW of an unknown volume fails with error " + std::to_string(ERROR_PATH_NOT_FOUND) + ": " +
              information.Show());
    Check(GetDriveTypeW(unknown_name.c_str()) == DRIVE_NO_ROOT_DIR, "GetDriveTypeW of an unknown volume");
    ULARGE_INTEGER total;
    CheckFailure(!GetDiskFreeSpaceExW(unknown_name.c_str(), nullptr, &total, nullptr), ERROR_PATH_NOT_FOUND,
                 "GetDiskFreeSpaceExW of an unknown volume");

    Text unknown_root = Wide("?:\\");
    for (char letter = 'Z'; letter >= 'A' && unknown_root[0] == '?'; --letter) {
        const Text root = Wide(std::string(1, letter).append(":\\").c_str());
        bool mounted = false;
        for (const Text &mount_point : all_mount_points)
            mounted = mounted || mount_point == root;
        if (!mounted) unknown_root = root;
    }
    const Information by_root = InformationByName(unknown_root);
    Check(!by_root.ok && by_root.error == ERROR_PATH_NOT_FOUND,
          "GetVolumeInformationW(" + Show(unknown_root) + "), no volume there, fails with error " +
              std::to_string(ERROR_PATH_NOT_FOUND) + ": " + by_root.Show());
    Check(GetDriveTypeW(unknown_root.c_str()) == DRIVE_NO_ROOT_DIR,
          "GetDriveTypeW(" + Show(unknown_root) + "), no volume there");
    for (const Text &no_root : {Wide("?"), Wide("")}) {
        Check(GetDriveTypeW(no_root.c_str()) == DRIVE_NO_ROOT_DIR, "GetDriveTypeW('" + Show(no_root) + "')");
    }
}

}  // namespace

int main() {
    std::printf("conformance of the volume functions on %s\n", PrepareMachine().c_str());
    const std::vector<Text> names = EnumerateVolumes();
    if (!names.empty()) {
        CheckNameBufferSize(names);
        std::vector<Text> all_mount_points;
        for (const Text &name : names) {
            const std::vector<Text> mount_points = MountPoints(name);
            std::printf("  %s:", Show(name).c_str());
            for (const Text &mount_point : mount_points)
                std::printf(" %s", Show(mount_point).c_str());
            std::printf("\n");
            all_mount_points.insert(all_mount_points.end(), mount_points.begin(), mount_points.end());
            CheckInformation(name, mount_points);
            CheckFolderMountPoints(name, mount_points);
            CheckDriveTypes(name, mount_points);
            CheckCapacity(name, mount_points, InformationByName(name).ok);
        }
        CheckUnknownNamesAndRoots(names, all_mount_points);
        CheckCurrentDirectoryRoots();
        CheckDirectoryRoots(all_mount_points);
        CheckRootsThroughLinks(all_mount_points);
        Check(labelled_volumes_compared > 0, "some volume's information compared has a label, a serial number and a "
                                             "file system name (" + std::to_string(labelled_volumes_compared) + ")");
    }
    CheckMessages();
    CheckThreadErrorMode();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
