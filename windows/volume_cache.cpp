#include "volume_cache.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <utility>

#include "arguments.h"
#include "calls.h"
#include "exceptions.h"
#include "module_state.h"
#include "native_method.h"
#include "platform.h"
#include "py_ref.h"
#include "volume_ids.h"
#include "volume_queries.h"
#include "wide_text.h"

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

const char kPopulateName[] = "windows.volumes.VolumeInfo._PopulateVolumeTable";

// ---------------------------------------------------------------------------
// VolumeInfo.

enum MethodIndex {
#define METHOD(index, ...) index,
#include "volume_info_methods.def"
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
    PyRef lock_factory(LookupGlobalAttribute(names.platform_utils, names.Lock));
    if (!lock_factory) return nullptr;
    PyRef lock(PyObject_CallObject(lock_factory.get(), nullptr));
    if (!lock || PyObject_SetAttr(self, names._lock, lock.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *FindVolumeIDMethodBody(PyObject *const *arguments) {
    PyRef function(LookupGlobal(g_module.names.FindVolumeID));
    if (!function) return nullptr;
    if (function.get() == g_module.find_volume_id_function) return volumes_FindVolumeID(nullptr, arguments[1]);
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
    if (!get) return nullptr;
    PyRef code(PyLong_FromUnsignedLong(drive_type));
    if (!code) return nullptr;
    PyRef device_types(LookupGlobalAttribute(names.volume_entry, names.DeviceType));
    if (!device_types) return nullptr;
    PyRef unknown(PyObject_GetAttr(device_types.get(), names.UNKNOWN));
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
    if (matched < 0) return nullptr;
    if (matched == 0) Py_RETURN_NONE;
    PyRef guid(CallAttribute(match.get(), names.group, {names.one}));
    if (!guid) return nullptr;
    return CallAttribute(guid.get(), names.encode, {names.ascii});
}

// The mount-point and information queries as the refresh makes them: a
// volume name of another type is refused as the query's own argument check
// would refuse it, and is then left out like any volume whose query fails.
PyObject *MountPointsOf(PyObject *volume_name) {
    if (!IsText(volume_name, TextType::Basestring)) {
        return RaiseExpectedType("basestring", Py_TYPE(volume_name)->tp_name);
    }
    return QueryVolumePathNames(volume_name);
}

PyObject *InformationOf(PyObject *volume_name) {
    if (!IsText(volume_name, TextType::Unicode)) return RaiseExpectedType("unicode", Py_TYPE(volume_name)->tp_name);
    return QueryVolumeInformation(volume_name);
}

// The volume's total size in bytes; 0, with a log record, when Windows
// cannot tell it. False when the logger raised.
bool VolumeCapacity(LPCWSTR volume_name, PyObject *mount_point, uint64_t *capacity) {
    ULARGE_INTEGER capacity_bytes;
    capacity_bytes.QuadPart = 0;
    BOOL capacity_known;
    {
        CriticalErrorDialogsOff dialogs_off;
        capacity_known = GetDiskFreeSpaceExW(volume_name, nullptr, &capacity_bytes, nullptr);
    }
    // A failed call may still have written something.
    *capacity = capacity_known ? capacity_bytes.QuadPart : 0;
    return capacity_known || Log(g_module.names.debug, g_module.names.capacity_failed_format, {mount_point});
}

// What the refresh knows of one volume, for its VolumeEntry.
struct VolumeFacts {
    PyObject *volume_name;
    PyObject *mount_point;
    PyObject *information;  // the information tuple
    PyObject *device_type;
    PyObject *volume_uuid;
    uint64_t capacity;
};

// volume_entry.VolumeEntry(volume=..., ..., size=...), the keywords made in
// the order the record lists them.
PyObject *NewVolumeEntry(const VolumeFacts &facts) {
    const Names &names = g_module.names;
    PyObject *label = PyTuple_GET_ITEM(facts.information, 0);
    PyObject *serial_number = PyTuple_GET_ITEM(facts.information, 1);
    PyObject *filesystem = PyTuple_GET_ITEM(facts.information, 4);
    PyRef entry_class(LookupGlobalAttribute(names.volume_entry, names.VolumeEntry));
    if (!entry_class) return nullptr;
    PyRef volume_id(VolumeIDFromNamespace(serial_number));
    if (!volume_id) return nullptr;
    PyRef lowered(PyObject_CallMethodObjArgs(filesystem, names.lower, nullptr));
    if (!lowered) return nullptr;
    PyRef size(PyLong_FromUnsignedLongLong(facts.capacity));
    if (!size) return nullptr;
    PyRef keywords(PyDict_New());
    if (!keywords) return nullptr;
    const std::pair<PyObject *, PyObject *> fields[] = {
        {names.volume, volume_id.get()},          {names.mountpoint, facts.mount_point},
        {names.device_file, facts.volume_name},   {names.device_number, serial_number},
        {names.uuid, facts.volume_uuid},          {names.model, Py_None},
        {names.device_type, facts.device_type},   {names.label, label},
        {names.filesystem, lowered.get()},        {names.size, size.get()},
    };
    for (const auto &field : fields) {
        if (PyDict_SetItem(keywords.get(), field.first, field.second) < 0) return nullptr;
    }
    return Call(entry_class.get(), {}, keywords.get());
}

// One volume of the refresh: files its entry in `volume_entries`, or leaves
// it out with a log record. False when the refresh must end.
bool DescribeVolume(PyObject *volume_entries, PyObject *volume_name) {
    const Names &names = g_module.names;
    PyRef mount_points(MountPointsOf(volume_name));
    if (!mount_points) return SkipVolume(names.mount_point_failed_format, volume_name);
    const Py_ssize_t count = PyList_GET_SIZE(mount_points.get());
    if (count == 0) return Log(names.debug, names.no_mount_point_format, {volume_name});
    if (count > 1) {
        if (!SortByLength(mount_points.get())) return false;
        if (!Log(names.debug, names.multiple_mounts_format, {volume_name, mount_points.get()})) return false;
    }
    // The logger was handed the list and may have emptied it: IndexError then.
    PyRef mount_point = PyRef::Borrow(PyList_GetItem(mount_points.get(), 0));
    if (!mount_point) return false;

    PyRef information(InformationOf(volume_name));
    if (!information) return SkipVolume(names.volume_info_failed_format, mount_point.get());
    WideText wide_name;
    if (!wide_name.Assign(volume_name)) return false;
    PyRef device_type(DeviceTypeFor(GetDriveTypeW(wide_name.get())));
    if (!device_type) return false;
    uint64_t capacity;
    if (!VolumeCapacity(wide_name.get(), mount_point.get(), &capacity)) return false;
    PyRef volume_uuid(VolumeUUID(volume_name));
    if (!volume_uuid) return false;

    const VolumeFacts facts{volume_name,       mount_point.get(), information.get(),
                            device_type.get(), volume_uuid.get(), capacity};
    PyRef entry(NewVolumeEntry(facts));
    if (!entry) return false;
    PyRef key(PyObject_GetAttr(entry.get(), names.volume));
    if (!key) return false;
    return PyDict_SetItem(volume_entries, key.get(), entry.get()) == 0;
}

PyObject *MonotonicTime() {
    PyRef get_monotonic_time(LookupGlobalAttribute(g_module.names.utils, g_module.names.GetMonotonicTime));
    if (!get_monotonic_time) return nullptr;
    return Call(get_monotonic_time.get(), {});
}

PyObject *ListVolumeNamesFromNamespace() {
    PyRef function(LookupGlobal(g_module.names._ListVolumeNames));
    if (!function) return nullptr;
    if (function.get() == g_module.list_volume_names_function) return volumes_ListVolumeNames(nullptr, nullptr);
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
    if (!new_volume_ids) return nullptr;
    PyRef new_volume_entries(PyDict_New());
    if (!new_volume_entries) return nullptr;
    PyRef volume_names(ListVolumeNamesFromNamespace());
    if (!volume_names) return nullptr;
    if (!DescribeAllVolumes(new_volume_entries.get(), volume_names.get())) return nullptr;

    // Published whole: readers see the old table or the new one.
    if (PyObject_SetAttr(self, names._volume_ids, new_volume_ids.get()) < 0) return nullptr;
    if (PyObject_SetAttr(self, names._volume_entries, new_volume_entries.get()) < 0) return nullptr;
    if (!Log(names.info, names.new_entries_format, {new_volume_entries.get()})) return nullptr;
    PyRef end_time(MonotonicTime());
    if (!end_time) return nullptr;
    PyRef elapsed(PyNumber_Subtract(end_time.get(), start_time.get()));
    if (!elapsed) return nullptr;
    if (!Log(names.info, names.refresh_complete_format, {elapsed.get()})) return nullptr;
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

// Expanded from the same rows as MethodIndex, so each definition sits at its
// method's index.
const NativeMethodDefinition kMethodDefinitions[] = {
#define METHOD(index, name, body, argument_names, required, doc, self_only)                                       \
    {{name, argument_names, g_interned_argument_names[index], required,                                          \
      static_cast<Py_ssize_t>(std::size(argument_names))},                                                       \
     body,                                                                                                       \
     doc,                                                                                                        \
     self_only},
#include "volume_info_methods.def"
};
static_assert(std::size(kMethodDefinitions) == kMethodCount, "one definition per method");

#define METHOD(index, name, body, argument_names, ...)                                      \
    static_assert(std::size(argument_names) <= static_cast<size_t>(kMaxMethodArguments), \
                  name " takes more arguments than a method call has room for");
#include "volume_info_methods.def"

}  // namespace

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

