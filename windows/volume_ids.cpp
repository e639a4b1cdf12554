#include "volume_ids.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "arguments.h"
#include "calls.h"
#include "exceptions.h"
#include "module_state.h"
#include "py_ref.h"
#include "volume_queries.h"

const char kFindVolumeIDDoc[] =
    "Get the volume ID from the VolumeInfo service.\n"
    "\n"
    "  Args:\n"
    "    stat_result: Raw stat result of the file.\n"
    "\n"
    "  Returns:\n"
    "    Object to be used as volume ID. Generally string-typed.\n"
    "  ";

const char kIsFATDoc[] =
    "Returns True if the filesystem is of the FAT family.\n"
    "\n"
    "  Note that once the result has been checked, it will be cached until the next\n"
    "  time VolumeInfo refreshes its cache.\n"
    "\n"
    "  Args:\n"
    "    serial_number: The serial number of the filesystem.\n"
    "    handle: PyHANDLE to a file on the file system.\n"
    "\n"
    "  Returns:\n"
    "    True if this is a FAT filesystem, False otherwise or if no device entry\n"
    "    could be found for this stat result.\n"
    "  ";

namespace {

const char kFindVolumeIDName[] = "windows.volumes.FindVolumeID";
const char kVolumeIDName[] = "windows.volumes._VolumeIDFromSerialNumber";
const char kIsFATName[] = "windows.volumes.IsFAT";

// ---------------------------------------------------------------------------
// Volume IDs.

// Recently formed IDs of integer serial numbers. An application asks about
// the same few volumes over and over; this answers it without creating and
// interning a string each time. Each slot holds a reference to an interned
// string, so the string stays the one the interning table holds.
struct VolumeIDSlot {
    long long serial_number;
    PyObject *volume_id;
};
constexpr int kVolumeIDSlotBits = 6;
VolumeIDSlot g_recent_volume_ids[1 << kVolumeIDSlotBits];

// Fibonacci hashing: the top bits of the product spread consecutive serial
// numbers over the slots, so the shift keeps exactly kVolumeIDSlotBits.
size_t VolumeIDSlotIndex(long long serial_number) {
    return static_cast<size_t>((static_cast<uint64_t>(serial_number) * 0x9E3779B97F4A7C15ull) >>
                               (64 - kVolumeIDSlotBits));
}

PyObject *VolumeIDForInteger(long long serial_number) {
    VolumeIDSlot &slot = g_recent_volume_ids[VolumeIDSlotIndex(serial_number)];
    if (slot.volume_id && slot.serial_number == serial_number) {
        Py_INCREF(slot.volume_id);
        return slot.volume_id;
    }
    // Written here rather than by snprintf: MinGW's printf brings the C
    // runtime's locale and errno into the Windows module.
    static const char kPrefix[] = "serial:";
    char text[sizeof kPrefix - 1 + 20];
    char *start = text + sizeof text;
    // The magnitude in unsigned arithmetic: -LLONG_MIN overflows long long.
    unsigned long long magnitude = static_cast<unsigned long long>(serial_number);
    if (serial_number < 0) magnitude = 0 - magnitude;
    do {
        *--start = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (serial_number < 0) *--start = '-';
    start -= sizeof kPrefix - 1;
    std::memcpy(start, kPrefix, sizeof kPrefix - 1);
    PyObject *volume_id = PyString_FromStringAndSize(start, text + sizeof text - start);
    if (!volume_id) return nullptr;
    PyString_InternInPlace(&volume_id);
    Py_XDECREF(slot.volume_id);
    Py_INCREF(volume_id);
    slot = {serial_number, volume_id};
    return volume_id;
}

PyObject *VolumeIDBody(PyObject *serial_number) {
    // Integers skip the host's % machinery: the decimal text is the same.
    if (PyInt_CheckExact(serial_number)) return VolumeIDForInteger(PyInt_AS_LONG(serial_number));
    if (PyLong_CheckExact(serial_number)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(serial_number, &overflow);
        if (!overflow && !(value == -1 && PyErr_Occurred())) return VolumeIDForInteger(value);
        if (PyErr_Occurred()) return nullptr;
    }
    PyObject *volume_id = PyString_Format(g_module.names.volume_id_format, serial_number);
    if (!volume_id) return nullptr;
    if (!PyString_CheckExact(volume_id)) {
        RaiseExpectedType("str", Py_TYPE(volume_id)->tp_name);
        Py_DECREF(volume_id);
        return nullptr;
    }
    PyString_InternInPlace(&volume_id);
    return volume_id;
}

// Calls `function`, what the module namespace binds to
// _VolumeIDFromSerialNumber: the module's own function directly.
PyObject *CallVolumeIDFunction(PyObject *function, PyObject *serial_number) {
    if (function == g_module.volume_id_function) return volumes_VolumeIDFromSerialNumber(nullptr, serial_number);
    return PyObject_CallFunctionObjArgs(function, serial_number, nullptr);
}

PyObject *FindVolumeIDBody(PyObject *stat_result) {
    PyRef function(LookupGlobal(g_module.names._VolumeIDFromSerialNumber));
    if (!function) return nullptr;
    PyRef st_dev(PyObject_GetAttr(stat_result, g_module.names.st_dev));
    if (!st_dev) return nullptr;
    return CallVolumeIDFunction(function.get(), st_dev.get());
}

// ---------------------------------------------------------------------------
// FAT detection.

// The file-system name of the volume that holds an open file.
PyObject *FileSystemNameForHandle(PyObject *handle) {
    PyRef handle_value(PyObject_GetAttr(handle, g_module.names.handle));
    if (!handle_value) return nullptr;
    int64_t converted;
    if (!HandleFromObject(handle_value.get(), &converted)) return nullptr;
    PyRef information(QueryVolumeInformationByHandle(converted));
    if (!information) return nullptr;
    return PyRef::Borrow(PyTuple_GET_ITEM(information.get(), 4)).release();
}

PyObject *IsFATBody(PyObject *serial_number, PyObject *handle) {
    PyRef volume_id(VolumeIDFromNamespace(serial_number));
    if (!volume_id) return nullptr;
    PyRef cached(MappingGet(g_module.is_fat_cache, volume_id.get()));
    if (!cached) return nullptr;
    if (cached.get() != Py_None) return cached.release();

    PyRef filesystem(FileSystemNameForHandle(handle));
    if (!filesystem) {
        const int is_windows_error = PendingExceptionMatches(g_module.names.WindowsError);
        if (is_windows_error <= 0) return nullptr;
        // Not cached: the next call asks Windows again.
        HandledException handled(kIsFATName, __LINE__);
        if (!Log(g_module.names.exception, g_module.names.windows_error_format, {})) return nullptr;
        Py_RETURN_FALSE;
    }
    PyRef lowered(PyObject_CallMethodObjArgs(filesystem.get(), g_module.names.lower, nullptr));
    if (!lowered) return nullptr;
    const int is_fat = PySet_Contains(g_module.fat_filesystem_names, lowered.get());
    if (is_fat < 0) return nullptr;
    PyRef answer(PyBool_FromLong(is_fat));
    if (PyDict_SetItem(g_module.is_fat_cache, volume_id.get(), answer.get()) < 0) return nullptr;
    return answer.release();
}

const char *const kIsFATArgumentNames[] = {"serial_number", "handle"};
PyObject *g_is_fat_interned[2];
const ArgumentSpec kIsFATArguments = {"IsFAT", kIsFATArgumentNames, g_is_fat_interned, 2, 2};

}  // namespace

PyObject *VolumeIDFromNamespace(PyObject *serial_number) {
    PyRef function(LookupGlobal(g_module.names._VolumeIDFromSerialNumber));
    if (!function) return nullptr;
    return CallVolumeIDFunction(function.get(), serial_number);
}

// mapping.get(key): for a dict one lookup that still reports a key that
// cannot be hashed or compared. PyDict_GetItem hides those errors, and the
// lookup that reports them is not exported by every 2.7 release: a miss is
// asked again of PyDict_Contains, which raises them.
PyObject *MappingGet(PyObject *mapping, PyObject *key) {
    if (!PyDict_CheckExact(mapping)) {
        return PyObject_CallMethodObjArgs(mapping, g_module.names.get, key, nullptr);
    }
    PyObject *value = PyDict_GetItem(mapping, key);
    if (!value) {
        if (PyDict_Contains(mapping, key) < 0) return nullptr;
        // A key whose comparison changed the dict may be found now: the
        // first answer stands.
        value = Py_None;
    }
    Py_INCREF(value);
    return value;
}

PyObject *volumes_FindVolumeID(PyObject *, PyObject *stat_result) {
    if (!CheckLoaded()) return nullptr;
    return WithTraceback(FindVolumeIDBody(stat_result), kFindVolumeIDName, __LINE__);
}

PyObject *volumes_VolumeIDFromSerialNumber(PyObject *, PyObject *serial_number) {
    if (!CheckLoaded()) return nullptr;
    return WithTraceback(VolumeIDBody(serial_number), kVolumeIDName, __LINE__);
}

PyObject *volumes_IsFAT(PyObject *, PyObject *args, PyObject *kwds) {
    if (!CheckLoaded()) return nullptr;
    PyObject *values[2] = {};
    PyRef held[2];
    if (!ParseArguments(kIsFATArguments, args, kwds, values, held)) return AddTraceback(kIsFATName, __LINE__);
    return WithTraceback(IsFATBody(values[0], values[1]), kIsFATName, __LINE__);
}
