// The stand-in's side: its sample machine, never the mounts of the machine
// that runs the test.
#include <winstub/control.h>

#include "machine_access.h"

namespace {

const Text kWindowsDirectory = u"C:\\Windows";

}  // namespace

std::string PrepareMachine() {
    winstub::UseSampleMachine();
    winstub::AddDirectory(kWindowsDirectory);
    return "the stand-in's sample machine";
}

Text DirectoryNotARoot() {
    return kWindowsDirectory;
}

Text CurrentDirectoryOfProcess() {
    return winstub::CurrentDirectory();
}

bool ChangeCurrentDirectory(const Text &path) {
    return winstub::ChangeDirectory(path);
}

bool KeepDriveDirectory(const Text &path) {
    return winstub::SetDriveDirectory(path);
}

HANDLE OpenFileOnVolume(const Text &name, const std::vector<Text> &) {
    const std::optional<int64_t> handle = winstub::OpenHandle(name);
    return handle ? reinterpret_cast<HANDLE>(static_cast<intptr_t>(*handle)) : INVALID_HANDLE_VALUE;
}

bool CloseFile(HANDLE file) {
    return winstub::CloseHandle(static_cast<int64_t>(reinterpret_cast<intptr_t>(file)));
}

bool DriveTypeOfVolumeNamesDocumented() {
    return true;
}

bool BackslashVolumeNameRefusedAsParameter() {
    return true;
}

bool MakeDirectoryLink(const Text &link, const Text &target) {
    return winstub::AddLink(link, target);
}

bool RemoveDirectoryLink(const Text &link) {
    return winstub::RemoveLink(link);
}
