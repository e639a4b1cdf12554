#include "machine.h"

#include <algorithm>
#include "mutex.h"
#include <utility>

#include "simulated_machine.h"
#ifdef __linux__
#include "linux_machine.h"
#endif

namespace winstub {

namespace {

struct ActiveSlot {
    Mutex mutex;
    std::shared_ptr<Machine> machine;
};

ActiveSlot &Slot() {
    static ActiveSlot slot;
    return slot;
}

}  // namespace

std::shared_ptr<Machine> ActiveMachine() {
    ActiveSlot &slot = Slot();
    std::lock_guard<Mutex> lock(slot.mutex);
    if (!slot.machine) {
#ifdef __linux__
        slot.machine = MakeThisMachine();
#else
        slot.machine = MakeSampleMachine();
#endif
    }
    return slot.machine;
}

void Activate(std::shared_ptr<Machine> machine) {
    ActiveSlot &slot = Slot();
    std::unique_lock<Mutex> lock(slot.mutex);
    std::shared_ptr<Machine> old = std::exchange(slot.machine, std::move(machine));
    // The old machine may be destroyed here; not under the lock.
    lock.unlock();
}

std::u16string ReadText(LPCWSTR text) {
    return text ? std::u16string(text) : std::u16string();
}

bool WriteText(const std::u16string &text, LPWSTR buffer, DWORD buffer_length) {
    if (!buffer || text.size() >= buffer_length) {
        return false;
    }
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = u'\0';
    return true;
}

DWORD HandOutVolumeName(const std::u16string *name, size_t &position, LPWSTR volume_name, DWORD buffer_length) {
    if (!name) {
        return ERROR_NO_MORE_FILES;
    }
    if (!volume_name) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!WriteText(*name, volume_name, buffer_length)) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    ++position;
    return ERROR_SUCCESS;
}

DWORD WritePathNames(const std::vector<std::u16string> &paths, LPWCH buffer, DWORD buffer_length,
                     PDWORD return_length) {
    std::u16string packed;
    for (const std::u16string &path : paths) {
        packed += path;
        packed += u'\0';
    }
    // WriteText adds the closing NUL.
    const DWORD needed = static_cast<DWORD>(packed.size() + 1);
    if (return_length) {
        *return_length = needed;
    }
    return WriteText(packed, buffer, buffer_length) ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

DWORD VolumeInformationOutput::Write(const std::u16string &label_text, DWORD serial_number, DWORD max_component_length,
                                     DWORD file_system_flags, const std::u16string &filesystem_text) const {
    // A buffer that is not supplied is not asked for, whatever its size says.
    if (label && label_text.size() >= label_size) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (filesystem && filesystem_text.size() >= filesystem_size) {
        return filesystem_too_short;
    }
    if (label) {
        WriteText(label_text, label, label_size);
    }
    if (filesystem) {
        WriteText(filesystem_text, filesystem, filesystem_size);
    }
    if (serial) {
        *serial = serial_number;
    }
    if (max_component) {
        *max_component = max_component_length;
    }
    if (flags) {
        *flags = file_system_flags;
    }
    return ERROR_SUCCESS;
}

}  // namespace winstub
