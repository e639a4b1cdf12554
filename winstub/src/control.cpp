// The control API of <winstub/control.h>: selects machines and scripts the
// active simulated machine.
#include "winstub/control.h"

#include <memory>
#include <stdexcept>

#include "machine.h"
#include "simulated_machine.h"
#ifdef __linux__
#include "linux_machine.h"
#endif

namespace winstub {

namespace {

std::shared_ptr<SimulatedMachine> Simulated() {
    auto machine = std::dynamic_pointer_cast<SimulatedMachine>(ActiveMachine());
    if (!machine) {
        throw std::logic_error("the active machine is not a simulated machine");
    }
    return machine;
}

}  // namespace

void UseThisMachine() {
#ifdef __linux__
    Activate(MakeThisMachine());
#else
    throw std::logic_error("this machine is served on Linux only");
#endif
}

void UseSampleMachine() {
    Activate(MakeSampleMachine());
}

void Reset() {
    Activate(std::make_shared<SimulatedMachine>());
    ::SetLastError(ERROR_SUCCESS);
    ::SetThreadErrorMode(0, nullptr);
}

void AddVolume(const VolumeSpec &volume) {
    Simulated()->AddVolume(volume);
}

bool SetMountPoints(const std::u16string &name, const std::vector<std::u16string> &mount_points) {
    return Simulated()->SetMountPoints(name, mount_points);
}

bool IsScriptableFunction(const std::string &function) {
    return FunctionNamed(function).has_value();
}

void Fail(const std::string &function, DWORD code, unsigned times, unsigned skip,
          std::optional<DWORD> returned_length) {
    const std::optional<Function> known = FunctionNamed(function);
    if (!known) {
        throw std::invalid_argument("not a scriptable Windows function: " + function);
    }
    Simulated()->Fail(*known, code, times, skip, returned_length);
}

std::optional<int64_t> OpenHandle(const std::u16string &name) {
    return Simulated()->OpenHandle(name);
}

bool CloseHandle(int64_t handle) {
    return Simulated()->CloseHandle(handle);
}

std::u16string CurrentDirectory() {
    return Simulated()->CurrentDirectory();
}

bool ChangeDirectory(const std::u16string &path) {
    return Simulated()->SetCurrentDirectory(path);
}

bool SetDriveDirectory(const std::u16string &path) {
    return Simulated()->SetDriveDirectory(path);
}

bool AddDirectory(const std::u16string &path) {
    return Simulated()->AddDirectory(path);
}

bool AddLink(const std::u16string &link, const std::u16string &target) {
    return Simulated()->AddLink(link, target);
}

bool RemoveLink(const std::u16string &link) {
    return Simulated()->RemoveLink(link);
}

std::vector<Call> Calls() {
    return Simulated()->Calls();
}

size_t OpenSearches() {
    return Simulated()->OpenSearches();
}

}  // namespace winstub
