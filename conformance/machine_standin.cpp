// The stand-in's side: its sample machine, never the mounts of the machine
// that runs the test.
#include <winstub/control.h>

#include "machine_access.h"

std::string PrepareMachine() {
    winstub::UseSampleMachine();
    return "the stand-in's sample machine";
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
