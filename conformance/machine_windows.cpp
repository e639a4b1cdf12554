// Windows' own kernel32, or Wine's.
#include "machine_access.h"

namespace {

// Wine's ntdll exports its version; Windows' does not.
const char *WineVersion() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll) return nullptr;
    using Version = const char *(*)();
    auto version = reinterpret_cast<Version>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "wine_get_version")));
    return version ? version() : nullptr;
}

}  // namespace

std::string PrepareMachine() {
    const char *wine = WineVersion();
    return wine ? std::string("Wine ") + wine : std::string("Windows");
}

HANDLE OpenFileOnVolume(const Text &name, const std::vector<Text> &mount_points) {
    // The volume's root directory; a directory opens only for backup semantics.
    const Text &root = mount_points.empty() ? name : mount_points.front();
    return CreateFileW(root.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool CloseFile(HANDLE file) {
    return CloseHandle(file) != FALSE;
}

Text DirectoryNotARoot() {
    WCHAR buffer[MAX_PATH + 1];
    const UINT length = GetWindowsDirectoryW(buffer, MAX_PATH + 1);
    return length > 0 && length <= MAX_PATH ? Text(buffer, length) : Text();
}

Text CurrentDirectoryOfProcess() {
    WCHAR buffer[MAX_PATH + 1];
    const DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, buffer);
    return length > 0 && length <= MAX_PATH ? Text(buffer, length) : Text();
}

bool ChangeCurrentDirectory(const Text &path) {
    return SetCurrentDirectoryW(path.c_str()) != FALSE;
}

bool KeepDriveDirectory(const Text &path) {
    const WCHAR name[] = {L'=', path.empty() ? L'?' : path[0], L':', 0};
    return SetEnvironmentVariableW(name, path.c_str()) != FALSE;
}

bool DriveTypeOfVolumeNamesDocumented() {
    return WineVersion() == nullptr;
}

bool BackslashVolumeNameRefusedAsParameter() {
    return WineVersion() == nullptr;
}

bool MakeDirectoryLink(const Text &link, const Text &target) {
    // Windows 10 lets an unprivileged process make one in developer mode
    // (flag 2); older systems refuse that flag.
    const bool made = CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2) ||
                      CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
    // Wine 8.0 answers success and makes nothing.
    const DWORD attributes = GetFileAttributesW(link.c_str());
    return made && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool RemoveDirectoryLink(const Text &link) {
    return RemoveDirectoryW(link.c_str()) != FALSE;
}
