#include "volume_cache.h"

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <utility>

#include "boundary.h"
#include "platform.h"
#include "py_ref.h"
#include "volume_queries.h"
#include "wide_text.h"

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

const char kVolumeInfoDoc[] =
    "Volume information cache service.\n"
    "\n"
    "  On Windows this currently does nothing but return the volume\n"
    "  serial number obtained with the stat, but will eventually handle\n"
    "  track other volume information to be used in volume mount/dismount\n"
    "  change handling.\n"
    "  ";

const char kFindVolumeIDMethodDoc[] =
    "Get the volume ID from the VolumeInfo service.\n"
    "\n"
    "    Args:\n"
    "      stat_result: Raw stat result of the file.\n"
    "\n"
    "    Returns:\n"
    "      Object to be used as volume ID. Generally string-typed.\n"
    "    ";

const char kAllVolumeEntriesDoc[] =
    "Returns the volume entry dictionary.\n"
    "\n"
    "    Args:\n"
    "      force_update: If True, repopulate the volume entry table first.\n"
    "          Otherwise, uses cached values if available.\n"
    "\n"
    "    Returns:\n"
    "      Dictionary mapping volume IDs to volume_entry.VolumeEntry values.\n"
    "    ";

const char kFindVolumeIDName[] = "windows.volumes.FindVolumeID";
const char kVolumeIDName[] = "windows.volumes._VolumeIDFromSerialNumber";
const char kIsFATName[] = "windows.volumes.IsFAT";
const char kPopulateName[] = "windows.volumes.VolumeInfo._PopulateVolumeTable";

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
VolumeIDSlot g_recent_volume_ids[64];

PyObject *VolumeIDForInteger(long long serial_number) {
    VolumeIDSlot &slot = g_recent_volume_ids[(static_cast<uint64_t>(serial_number) * 0x9E3779B97F4A7C15ull) >> 58];
    if (slot.volume_id && slot.serial_number == serial_number) {
        Py_INCREF(slot.volume_id);
        return slot.volume_id;
    }
    char text[32];
    const int length = std::snprintf(text, sizeof text, "serial:%lld", serial_number);
    PyObject *volume_id = PyString_FromStringAndSize(text, length);
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

// Calls whatever the module namespace binds to _VolumeIDFromSerialNumber.
PyObject *CallVolumeIDFunction(PyObject *function, PyObject *serial_number) {
    if (function == g_module.volume_id_function) return VolumeIDFromSerialNumber(nullptr, serial_number);
    return PyObject_CallFunctionObjArgs(function, serial_number, nullptr);
}

PyObject *VolumeIDFromNamespace(PyObject *serial_number) {
    PyRef function(LookupGlobal(g_module.names._VolumeIDFromSerialNumber));
    if (!function) return nullptr;
    return CallVolumeIDFunction(function.get(), serial_number);
}

PyObject *FindVolumeIDBody(PyObject *stat_result) {
    PyRef function(LookupGlobal(g_module.names._VolumeIDFromSerialNumber));
    if (!function) return nullptr;
    PyRef st_dev(PyObject_GetAttr(stat_result, g_module.names.st_dev));
    if (!st_dev) return nullptr;
    return CallVolumeIDFunction(function.get(), st_dev.get());
}

// mapping.get(key): for a dict one lookup that still reports a key that
// cannot be hashed or compared.
PyObject *MappingGet(PyObject *mapping, PyObject *key) {
    if (!PyDict_CheckExact(mapping)) {
        return PyObject_CallMethodObjArgs(mapping, g_module.names.get, key, nullptr);
    }
    PyObject *value = _PyDict_GetItemWithError(mapping, key);
    if (!value) {
        if (PyErr_Occurred()) return nullptr;
        value = Py_None;
    }
    Py_INCREF(value);
    return value;
}

// ---------------------------------------------------------------------------
// FAT detection.

// The file-system name of the volume that holds an open file.
PyObject *FileSystemNameForHandle(PyObject *handle) {
    PyRef handle_value(PyObject_GetAttr(handle, g_module.names.handle));
    if (!handle_value) return nullptr;
    int64_t converted;
    if (!HandleFromObject(handle_value.get(), &converted)) return nullptr;
    PyRef information(GetVolumeInformationByHandleInternal(converted));
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

// ---------------------------------------------------------------------------
// VolumeInfo.

enum MethodIndex {
    kInit,
    kFindVolumeIDMethod,
    kAllVolumeEntries,
    kGetVolumeEntryForVolumeID,
    kGetVolumeEntryForDeviceNumber,
    kPopulateVolumeTable,
    kFindVolumeIDForDeviceNumber,
    kMethodCount
};
PyObject *g_methods[kMethodCount];  // the class's own method objects

// self.<name>(argument), running the class's own method directly when the
// name still resolves to it.
PyObject *CallOwnMethod(PyObject *self, MethodIndex index, PyObject *name, PyObject *argument) {
    if (ResolvesToOwnMethod(self, name, g_methods[index])) {
        PyObject *const arguments[] = {self, argument};
        return CallNativeMethodBody(g_methods[index], arguments);
    }
    PyRef method(PyObject_GetAttr(self, name));
    if (!method) return nullptr;
    return PyObject_CallFunctionObjArgs(method.get(), argument, nullptr);
}

PyObject *InitBody(PyObject *const *arguments) {
    PyObject *self = arguments[0];
    const Names &names = g_module.names;
    PyRef volume_ids(PyDict_New());
    if (!volume_ids || PyObject_SetAttr(self, names._volume_ids, volume_ids.get()) < 0) return nullptr;
    PyRef volume_entries(PyDict_New());
    if (!volume_entries || PyObject_SetAttr(self, names._volume_entries, volume_entries.get()) < 0) return nullptr;
    PyRef platform_utils(LookupGlobal(names.platform_utils));
    if (!platform_utils) return nullptr;
    PyRef lock_factory(PyObject_GetAttr(platform_utils.get(), names.Lock));
    if (!lock_factory) return nullptr;
    PyRef lock(PyObject_CallObject(lock_factory.get(), nullptr));
    if (!lock || PyObject_SetAttr(self, names._lock, lock.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *FindVolumeIDMethodBody(PyObject *const *arguments) {
    PyRef function(LookupGlobal(g_module.names.FindVolumeID));
    if (!function) return nullptr;
    if (function.get() == g_module.find_volume_id_function) return FindVolumeID(nullptr, arguments[1]);
    return PyObject_CallFunctionObjArgs(function.get(), arguments[1], nullptr);
}

PyObject *AllVolumeEntriesBody(PyObject *const *arguments) {
    PyObject *self = arguments[0], *force_update = arguments[1];
    const Names &names = g_module.names;
    PyRef volume_entries(PyObject_GetAttr(self, names._volume_entries));
    if (!volume_entries) return nullptr;
    int refresh = PyObject_Not(volume_entries.get());
    // With an empty table force_update is not even looked at.
    if (refresh == 0) refresh = PyObject_IsTrue(force_update);
    if (refresh < 0) return nullptr;
    if (refresh) {
        PyRef populate(PyObject_GetAttr(self, names._PopulateVolumeTable));
        if (!populate) return nullptr;
        PyRef volume_ids(PyObject_GetAttr(self, names._volume_ids));
        if (!volume_ids) return nullptr;
        if (!PyRef(PyObject_CallFunctionObjArgs(populate.get(), volume_ids.get(), nullptr))) return nullptr;
    }
    // Read again, refresh or not: another thread, or the truth test of
    // force_update itself, may have installed a new table meanwhile.
    volume_entries.reset(PyObject_GetAttr(self, names._volume_entries));
    if (!volume_entries) return nullptr;
    return PyObject_CallMethodObjArgs(volume_entries.get(), names.copy, nullptr);
}

PyObject *GetVolumeEntryForVolumeIDBody(PyObject *const *arguments) {
    PyRef volume_entries(PyObject_GetAttr(arguments[0], g_module.names._volume_entries));
    if (!volume_entries) return nullptr;
    return MappingGet(volume_entries.get(), arguments[1]);
}

PyObject *GetVolumeEntryForDeviceNumberBody(PyObject *const *arguments) {
    PyObject *self = arguments[0];
    PyRef volume_id(
        CallOwnMethod(self, kFindVolumeIDForDeviceNumber, g_module.names._FindVolumeIDForDeviceNumber, arguments[1]));
    if (!volume_id) return nullptr;
    return CallOwnMethod(self, kGetVolumeEntryForVolumeID, g_module.names.GetVolumeEntryForVolumeID, volume_id.get());
}

// The table files each volume under the ID formed from its serial number,
// and a file's st_dev carries that serial number: the ID is formed exactly
// as FindVolumeID forms it.
PyObject *FindVolumeIDForDeviceNumberBody(PyObject *const *arguments) {
    return VolumeIDFromNamespace(arguments[1]);
}

// --- the refresh ------------------------------------------------------------

// An `except Exception` clause around one volume's query: logs the caught
// exception and returns true (go on with the next volume); returns false
// when the exception is not to be caught or the logger raised.
bool SkipVolume(PyObject *format, PyObject *argument) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    HandledException handled(kPopulateName, __LINE__);
    return Log(g_module.names.exception, format, {argument});
}

PyObject *CallAttribute(PyObject *object, PyObject *name, std::initializer_list<PyObject *> arguments) {
    PyRef attribute(PyObject_GetAttr(object, name));
    if (!attribute) return nullptr;
    return Call(attribute.get(), arguments);
}

// mount_points.sort(key=len)
bool SortByLength(PyObject *mount_points) {
    PyRef sort(PyObject_GetAttr(mount_points, g_module.names.sort));
    PyRef len(PyObject_GetAttr(g_module.builtins, g_module.names.len));
    PyRef kwds(PyDict_New());
    if (!sort || !len || !kwds || PyDict_SetItem(kwds.get(), g_module.names.key, len.get()) < 0) return false;
    return PyRef(Call(sort.get(), {}, kwds.get())).get() != nullptr;
}

// DRIVE_TYPE_MAP.get(drive_type, volume_entry.DeviceType.UNKNOWN)
PyObject *DeviceTypeFor(UINT drive_type) {
    const Names &names = g_module.names;
    PyRef drive_type_map(LookupGlobal(names.DRIVE_TYPE_MAP));
    if (!drive_type_map) return nullptr;
    PyRef get(PyObject_GetAttr(drive_type_map.get(), names.get));
    PyRef code(get ? PyLong_FromUnsignedLong(drive_type) : nullptr);
    PyRef volume_entry(code ? LookupGlobal(names.volume_entry) : nullptr);
    PyRef device_types(volume_entry ? PyObject_GetAttr(volume_entry.get(), names.DeviceType) : nullptr);
    PyRef unknown(device_types ? PyObject_GetAttr(device_types.get(), names.UNKNOWN) : nullptr);
    if (!unknown) return nullptr;
    return Call(get.get(), {code.get(), unknown.get()});
}

// The GUID of a volume GUID name as an ASCII str, or None.
PyObject *VolumeUUID(PyObject *volume_name) {
    const Names &names = g_module.names;
    PyRef matcher(LookupGlobal(names.VOLUME_NAME_GUID_MATCHER));
    if (!matcher) return nullptr;
    PyRef match(CallAttribute(matcher.get(), names.match, {volume_name}));
    if (!match) return nullptr;
    const int matched = PyObject_IsTrue(match.get());
    if (matched <= 0) return matched < 0 ? nullptr : PyRef::Borrow(Py_None).release();
    PyRef guid(CallAttribute(match.get(), names.group, {names.one}));
    if (!guid) return nullptr;
    return CallAttribute(guid.get(), names.encode, {names.ascii});
}

// One volume of the refresh: files its entry in `volume_entries`, or leaves
// it out with a log record. False when the refresh must end.
bool DescribeVolume(PyObject *volume_entries, PyObject *volume_name) {
    const Names &names = g_module.names;
    PyRef mount_points(IsText(volume_name, TextType::Basestring)
                           ? GetVolumePathNamesInternal(volume_name)
                           : RaiseExpectedType("basestring", Py_TYPE(volume_name)->tp_name));
    if (!mount_points) return SkipVolume(names.mount_point_failed_format, volume_name);
    const Py_ssize_t count = PyList_GET_SIZE(mount_points.get());
    if (count == 0) return Log(names.debug, names.no_mount_point_format, {volume_name});
    if (count > 1) {
        if (!SortByLength(mount_points.get()) ||
            !Log(names.debug, names.multiple_mounts_format, {volume_name, mount_points.get()})) {
            return false;
        }
    }
    // The logger was handed the list and may have emptied it.
    PyRef mount_point = PyRef::Borrow(PyList_GetItem(mount_points.get(), 0));
    if (!mount_point) return false;

    PyRef information(IsText(volume_name, TextType::Unicode)
                          ? GetVolumeInformationInternal(volume_name)
                          : RaiseExpectedType("unicode", Py_TYPE(volume_name)->tp_name));
    if (!information) return SkipVolume(names.volume_info_failed_format, mount_point.get());
    PyObject *label = PyTuple_GET_ITEM(information.get(), 0);
    PyObject *serial_number = PyTuple_GET_ITEM(information.get(), 1);
    PyObject *filesystem = PyTuple_GET_ITEM(information.get(), 4);

    WideText wide_name;
    if (!wide_name.Assign(volume_name)) return false;
    PyRef device_type(DeviceTypeFor(GetDriveTypeW(wide_name.get())));
    if (!device_type) return false;

    ULARGE_INTEGER capacity_bytes;
    capacity_bytes.QuadPart = 0;
    BOOL capacity_known;
    {
        CriticalErrorDialogsOff dialogs_off;
        capacity_known = GetDiskFreeSpaceExW(wide_name.get(), nullptr, &capacity_bytes, nullptr);
    }
    if (!capacity_known) {
        capacity_bytes.QuadPart = 0;
        if (!Log(names.debug, names.capacity_failed_format, {mount_point.get()})) return false;
    }
    PyRef volume_uuid(VolumeUUID(volume_name));
    if (!volume_uuid) return false;

    PyRef volume_entry(LookupGlobal(names.volume_entry));
    PyRef entry_class(volume_entry ? PyObject_GetAttr(volume_entry.get(), names.VolumeEntry) : nullptr);
    PyRef volume_id(entry_class ? VolumeIDFromNamespace(serial_number) : nullptr);
    PyRef lowered(volume_id ? PyObject_CallMethodObjArgs(filesystem, names.lower, nullptr) : nullptr);
    PyRef size(lowered ? PyLong_FromUnsignedLongLong(capacity_bytes.QuadPart) : nullptr);
    PyRef keywords(size ? PyDict_New() : nullptr);
    if (!keywords) return false;
    const std::pair<PyObject *, PyObject *> fields[] = {
        {names.volume, volume_id.get()},        {names.mountpoint, mount_point.get()},
        {names.device_file, volume_name},       {names.device_number, serial_number},
        {names.uuid, volume_uuid.get()},        {names.model, Py_None},
        {names.device_type, device_type.get()}, {names.label, label},
        {names.filesystem, lowered.get()},      {names.size, size.get()},
    };
    for (const auto &field : fields) {
        if (PyDict_SetItem(keywords.get(), field.first, field.second) < 0) return false;
    }
    PyRef entry(Call(entry_class.get(), {}, keywords.get()));
    if (!entry) return false;
    PyRef key(PyObject_GetAttr(entry.get(), names.volume));
    return key && PyDict_SetItem(volume_entries, key.get(), entry.get()) == 0;
}

PyObject *MonotonicTime() {
    PyRef utils(LookupGlobal(g_module.names.utils));
    if (!utils) return nullptr;
    return CallAttribute(utils.get(), g_module.names.GetMonotonicTime, {});
}

PyObject *ListVolumeNamesFromNamespace() {
    PyRef function(LookupGlobal(g_module.names._ListVolumeNames));
    if (!function) return nullptr;
    if (function.get() == g_module.list_volume_names_function) return ListVolumeNames(nullptr, nullptr);
    return PyObject_CallObject(function.get(), nullptr);
}

bool DescribeAllVolumes(PyObject *volume_entries, PyObject *volume_names) {
    if (PyList_CheckExact(volume_names) || PyTuple_CheckExact(volume_names)) {
        // By index, as the list may change while the logger runs.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(volume_names); ++i) {
            PyRef volume_name = PyRef::Borrow(PySequence_Fast_GET_ITEM(volume_names, i));
            if (!DescribeVolume(volume_entries, volume_name.get())) return false;
        }
        return true;
    }
    PyRef iterator(PyObject_GetIter(volume_names));
    if (!iterator) return false;
    while (PyRef volume_name{PyIter_Next(iterator.get())}) {
        if (!DescribeVolume(volume_entries, volume_name.get())) return false;
    }
    return !PyErr_Occurred();
}

// The refresh proper, with the lock held.
PyObject *RefreshTable(PyObject *self, PyObject *current_volume_ids) {
    const Names &names = g_module.names;
    PyRef volume_ids(PyObject_GetAttr(self, names._volume_ids));
    if (!volume_ids) return nullptr;
    // Another thread refreshed while this one waited for the lock.
    if (volume_ids.get() != current_volume_ids) return PyObject_GetAttr(self, names._volume_ids);

    if (!Log(names.info, names.refreshing_format, {})) return nullptr;
    PyRef start_time(MonotonicTime());
    if (!start_time) return nullptr;
    PyRef new_volume_ids(PyDict_New());
    PyRef new_volume_entries(new_volume_ids ? PyDict_New() : nullptr);
    if (!new_volume_entries) return nullptr;
    PyRef volume_names(ListVolumeNamesFromNamespace());
    if (!volume_names || !DescribeAllVolumes(new_volume_entries.get(), volume_names.get())) return nullptr;

    // Published whole: readers see the old table or the new one.
    if (PyObject_SetAttr(self, names._volume_ids, new_volume_ids.get()) < 0 ||
        PyObject_SetAttr(self, names._volume_entries, new_volume_entries.get()) < 0 ||
        !Log(names.info, names.new_entries_format, {new_volume_entries.get()})) {
        return nullptr;
    }
    PyRef end_time(MonotonicTime());
    PyRef elapsed(end_time ? PyNumber_Subtract(end_time.get(), start_time.get()) : nullptr);
    if (!elapsed || !Log(names.info, names.refresh_complete_format, {elapsed.get()})) return nullptr;
    PyDict_Clear(g_module.is_fat_cache);
    return new_volume_ids.release();
}

// The traceback without its outermost entry (the one added last). Takes
// over `traceback` and returns a new reference, or null.
PyObject *WithoutOutermostEntry(PyObject *traceback) {
    if (!traceback || !PyTraceBack_Check(traceback)) return traceback;
    PyObject *rest = reinterpret_cast<PyObject *>(reinterpret_cast<PyTracebackObject *>(traceback)->tb_next);
    Py_XINCREF(rest);
    Py_DECREF(traceback);
    return rest;
}

// Looks up a special method as the host's `with` statement does.
PyObject *LookupSpecial(PyObject *object, const char *name, PyObject *interned) {
    if (PyInstance_Check(object)) return PyObject_GetAttr(object, interned);
    PyObject *cache = interned;
    PyObject *method = _PyObject_LookupSpecial(object, const_cast<char *>(name), &cache);
    if (!method && !PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, interned);
    return method;
}

PyObject *PopulateVolumeTableBody(PyObject *const *arguments) {
    PyObject *self = arguments[0];
    const Names &names = g_module.names;
    PyRef lock(PyObject_GetAttr(self, names._lock));
    if (!lock) return nullptr;
    PyRef exit(LookupSpecial(lock.get(), "__exit__", names.exit_method));
    if (!exit) return nullptr;
    PyRef enter(LookupSpecial(lock.get(), "__enter__", names.enter_method));
    if (!enter || !PyRef(PyObject_CallObject(enter.get(), nullptr))) return nullptr;

    PyRef result(RefreshTable(self, arguments[1]));
    if (result) {
        if (!PyRef(PyObject_CallFunctionObjArgs(exit.get(), Py_None, Py_None, Py_None, nullptr))) return nullptr;
        return result.release();
    }
    // As in a `with` block, __exit__ sees the exception with this method's
    // traceback entry on it, even one raised by the module's own code.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    const PyObject *const traceback_before = traceback;
    PyErr_Restore(type, value, traceback);
    AddTraceback(kPopulateName, __LINE__);
    PyErr_Fetch(&type, &value, &traceback);
    const bool entry_added = traceback != traceback_before;
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef exit_result(PyObject_CallFunctionObjArgs(exit.get(), type, value ? value : Py_None,
                                                   traceback ? traceback : Py_None, nullptr));
    const int suppress = exit_result ? PyObject_IsTrue(exit_result.get()) : -1;
    if (suppress != 0) {
        // __exit__ raised (its exception goes on) or swallowed the exception.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        if (suppress < 0) return nullptr;
        Py_RETURN_NONE;
    }
    // The entry goes back on when the exception leaves the method, as for
    // every method: here it comes off, so that the caller sees it once.
    PyErr_Restore(type, value, entry_added ? WithoutOutermostEntry(traceback) : traceback);
    return nullptr;
}

const char *const kSelfOnly[] = {"self"};
const char *const kStatResult[] = {"self", "stat_result"};
const char *const kForceUpdate[] = {"self", "force_update"};
const char *const kVolumeID[] = {"self", "volume_id"};
const char *const kStDev[] = {"self", "st_dev"};
const char *const kCurrentVolumeIds[] = {"self", "current_volume_ids"};
PyObject *g_interned_argument_names[kMethodCount][kMaxMethodArguments];

const NativeMethodDefinition kMethodDefinitions[kMethodCount] = {
    {{"__init__", kSelfOnly, g_interned_argument_names[kInit], 1, 1}, InitBody, nullptr, true},
    {{"FindVolumeID", kStatResult, g_interned_argument_names[kFindVolumeIDMethod], 2, 2},
     FindVolumeIDMethodBody,
     kFindVolumeIDMethodDoc,
     false},
    {{"AllVolumeEntries", kForceUpdate, g_interned_argument_names[kAllVolumeEntries], 1, 2},
     AllVolumeEntriesBody,
     kAllVolumeEntriesDoc,
     false},
    {{"GetVolumeEntryForVolumeID", kVolumeID, g_interned_argument_names[kGetVolumeEntryForVolumeID], 2, 2},
     GetVolumeEntryForVolumeIDBody,
     nullptr,
     false},
    {{"GetVolumeEntryForDeviceNumber", kStDev, g_interned_argument_names[kGetVolumeEntryForDeviceNumber], 2, 2},
     GetVolumeEntryForDeviceNumberBody,
     nullptr,
     false},
    {{"_PopulateVolumeTable", kCurrentVolumeIds, g_interned_argument_names[kPopulateVolumeTable], 2, 2},
     PopulateVolumeTableBody,
     nullptr,
     false},
    {{"_FindVolumeIDForDeviceNumber", kStDev, g_interned_argument_names[kFindVolumeIDForDeviceNumber], 2, 2},
     FindVolumeIDForDeviceNumberBody,
     nullptr,
     false},
};

}  // namespace

PyObject *FindVolumeID(PyObject *, PyObject *stat_result) {
    if (!CheckLoaded()) return nullptr;
    return WithTraceback(FindVolumeIDBody(stat_result), kFindVolumeIDName, __LINE__);
}

PyObject *VolumeIDFromSerialNumber(PyObject *, PyObject *serial_number) {
    if (!CheckLoaded()) return nullptr;
    return WithTraceback(VolumeIDBody(serial_number), kVolumeIDName, __LINE__);
}

PyObject *IsFAT(PyObject *, PyObject *args, PyObject *kwds) {
    if (!CheckLoaded()) return nullptr;
    PyObject *values[2] = {};
    PyRef held[2];
    if (!ParseArguments(kIsFATArguments, args, kwds, values, held)) return AddTraceback(kIsFATName, __LINE__);
    return WithTraceback(IsFATBody(values[0], values[1]), kIsFATName, __LINE__);
}

PyObject *NewVolumeInfoNamespace() {
    if (!InitNativeMethodType()) return nullptr;
    PyRef class_namespace(PyDict_New());
    PyRef module_name(PyString_FromString("windows.volumes"));
    PyRef qualname(PyString_FromString("VolumeInfo"));
    PyRef doc(PyString_FromString(kVolumeInfoDoc));
    PyRef defaults(PyTuple_Pack(1, Py_False));
    if (!class_namespace || !module_name || !qualname || !doc || !defaults ||
        PyDict_SetItemString(class_namespace.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(class_namespace.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(class_namespace.get(), "__doc__", doc.get()) < 0) {
        return nullptr;
    }
    for (int index = 0; index < kMethodCount; ++index) {
        const NativeMethodDefinition &definition = kMethodDefinitions[index];
        PyRef method(NewNativeMethod(definition, "VolumeInfo", index == kAllVolumeEntries ? defaults.get() : nullptr));
        if (!method ||
            PyDict_SetItemString(class_namespace.get(), definition.arguments.function_name, method.get()) < 0) {
            return nullptr;
        }
        Py_XDECREF(g_methods[index]);
        g_methods[index] = method.release();
    }
    return class_namespace.release();
}
