// windows.volumes: which disk volumes the machine has, where each is mounted
// and what it is. This file is the module's load: the entry point that the
// host's import machinery calls, and the registration of every name.
#include <Python.h>

#include <utility>

#include "exceptions.h"
#include "module_state.h"
#include "names.h"
#include "platform.h"
#include "py_ref.h"
#include "volume_cache.h"
#include "volume_ids.h"
#include "volume_queries.h"

namespace {

const char kModuleDoc[] = "Volume information cache service.";
const char kInitName[] = "init windows.volumes";

PyMethodDef kModuleMethods[] = {
    {"GetVolumeInformationByHandle", volumes_GetVolumeInformationByHandle, METH_O, kGetVolumeInformationByHandleDoc},
    {"GetVolumeInformation", volumes_GetVolumeInformation, METH_O, kGetVolumeInformationDoc},
    {"_GetVolumePathNamesForVolumeName", volumes_GetVolumePathNamesForVolumeName, METH_O, kGetVolumePathNamesForVolumeNameDoc},
    {nullptr, nullptr, 0, nullptr},
};

// Not in the method table, which holds just the three functions the module
// object starts with: these four are made at their own step of the load,
// once the collaborators are imported and the module-private state is in
// place. The load also keeps each function object, so that a call through a
// name that still holds it can skip the interpreter's call machinery.
PyMethodDef kListVolumeNamesDef = {"_ListVolumeNames", volumes_ListVolumeNames, METH_NOARGS, kListVolumeNamesDoc};
PyMethodDef kFindVolumeIDDef = {"FindVolumeID", volumes_FindVolumeID, METH_O, kFindVolumeIDDoc};
PyMethodDef kVolumeIDDef = {"_VolumeIDFromSerialNumber", volumes_VolumeIDFromSerialNumber, METH_O, nullptr};
PyMethodDef kIsFATDef = {"IsFAT", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(volumes_IsFAT)),
                         METH_VARARGS | METH_KEYWORDS, kIsFATDoc};

bool CheckRuntimeVersion() {
    const char *runtime = Py_GetVersion();
    if (runtime[0] == '2' && runtime[1] != '\0' && runtime[2] == '7') return true;
    char message[200];
    // The host's formatting: MinGW's snprintf brings the C runtime's locale
    // and errno into the Windows module.
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %.3s", "2.7",
                  "windows.volumes", runtime);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool Store(const char *name, PyObject *value) {
    return value && PyDict_SetItemString(g_module.globals, name, value) == 0;
}

// A built-in captured at load; NameError when the host has none.
PyObject *Builtin(const char *name) {
    PyObject *value = PyObject_GetAttrString(g_module.builtins, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_NameError, "name '%.200s' is not defined", name);
    }
    return value;
}

// Binds the native RaiseWindowsError from windows.winwrap's capsule table.
bool BindRaiseWindowsError() {
    PyRef winwrap(PyImport_ImportModule(WINWRAP_CAPI_MODULE));
    if (!winwrap) return false;
    PyRef table(PyObject_GetAttrString(winwrap.get(), "__pyx_capi__"));
    if (!table) return false;
    PyObject *capsule =
        PyDict_Check(table.get()) ? PyDict_GetItemString(table.get(), WINWRAP_RAISE_WINDOWS_ERROR) : nullptr;
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C function %.200s", WINWRAP_CAPI_MODULE,
                     WINWRAP_RAISE_WINDOWS_ERROR);
        return false;
    }
    if (!PyCapsule_IsValid(capsule, WINWRAP_RAISE_WINDOWS_ERROR_SIGNATURE)) {
        const char *found = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : Py_TYPE(capsule)->tp_name;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     WINWRAP_CAPI_MODULE, WINWRAP_RAISE_WINDOWS_ERROR, WINWRAP_RAISE_WINDOWS_ERROR_SIGNATURE,
                     found ? found : "NULL");
        return false;
    }
    g_module.raise_windows_error = reinterpret_cast<RaiseWindowsErrorFunction>(
        PyCapsule_GetPointer(capsule, WINWRAP_RAISE_WINDOWS_ERROR_SIGNATURE));
    return g_module.raise_windows_error != nullptr;
}

// __import__(name, globals(), {}, from_list, -1): the package-relative name
// first, then the absolute one. With `from_name`, that attribute of the
// result, as `from name import from_name` gives it.
PyObject *Import(const char *name, const char *from_name) {
    PyRef import(PyObject_GetAttrString(g_module.builtins, "__import__"));
    PyRef module_name(PyString_FromString(name));
    PyRef locals(PyDict_New());
    PyRef from_list(from_name ? Py_BuildValue("[s]", from_name) : PyList_New(0));
    PyRef level(PyInt_FromLong(-1));
    if (!import || !module_name || !locals || !from_list || !level) return nullptr;
    PyRef imported(PyObject_CallFunctionObjArgs(import.get(), module_name.get(), g_module.globals, locals.get(),
                                                from_list.get(), level.get(), nullptr));
    if (!imported || !from_name) return imported.release();
    PyObject *value = PyObject_GetAttrString(imported.get(), from_name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_ImportError, "cannot import name %.230s", from_name);
    }
    return value;
}

bool ImportCollaborators() {
    struct Collaborator {
        const char *module, *from_name, *stored_as;
    };
    const Collaborator collaborators[] = {
        {"logging", nullptr, "logging"},
        {"re", nullptr, "re"},
        {"common", "utils", "utils"},
        {"common", "volume_entry", "volume_entry"},
        {"common.service", "service", "service"},
        {"platforms", "platform_utils", "platform_utils"},
    };
    for (const Collaborator &collaborator : collaborators) {
        if (!Store(collaborator.stored_as, PyRef(Import(collaborator.module, collaborator.from_name)).get())) {
            return false;
        }
    }
    return true;
}

// At load the attribute names are plain texts: nothing calls them again.
PyObject *GlobalAttribute(PyObject *global_name, const char *attribute) {
    PyRef attribute_name(PyString_FromString(attribute));
    if (!attribute_name) return nullptr;
    return LookupGlobalAttribute(global_name, attribute_name.get());
}

PyObject *NewLogger() {
    PyRef get_logger(GlobalAttribute(g_module.names.logging, "getLogger"));
    if (!get_logger) return nullptr;
    return PyObject_CallFunctionObjArgs(get_logger.get(), PyDict_GetItemString(g_module.globals, "__name__"), nullptr);
}

// Windows drive type -> DeviceType member.
PyObject *NewDriveTypeMap() {
    static const char *const kMembers[] = {"UNKNOWN", "UNKNOWN",   "REMOVABLE", "INTERNAL",
                                           "NETWORK", "REMOVABLE", "RAM"};
    PyRef map(PyDict_New());
    if (!map) return nullptr;
    for (unsigned long drive_type = 0; drive_type < 7; ++drive_type) {
        PyRef key(PyLong_FromUnsignedLong(drive_type));
        if (!key) return nullptr;
        PyRef device_types(GlobalAttribute(g_module.names.volume_entry, "DeviceType"));
        if (!device_types) return nullptr;
        PyRef member(PyObject_GetAttrString(device_types.get(), kMembers[drive_type]));
        if (!member) return nullptr;
        if (PyDict_SetItem(map.get(), key.get(), member.get()) < 0) return nullptr;
    }
    return map.release();
}

PyObject *NewVolumeNameMatcher() {
    PyRef compile(GlobalAttribute(g_module.names.re, "compile"));
    if (!compile) return nullptr;
    return PyObject_CallFunction(compile.get(), const_cast<char *>("s"), R"(\\\\\?\\Volume\{([\w-]+)\}\\)");
}

bool CreateFunction(PyMethodDef &definition, PyObject **kept) {
    PyRef function(PyCFunction_NewEx(&definition, nullptr, PyDict_GetItemString(g_module.globals, "__name__")));
    if (!Store(definition.ml_name, function.get())) return false;
    if (kept) *kept = function.release();
    return true;
}

PyObject *NewVolumeInfo() {
    PyRef class_namespace(NewVolumeInfoNamespace());
    if (!class_namespace) return nullptr;
    PyRef singleton(GlobalAttribute(g_module.names.service, "Singleton"));
    PyRef bases(PyTuple_Pack(1, g_module.object_type));
    PyRef name(PyString_FromString("VolumeInfo"));
    if (!singleton || !bases || !name) return nullptr;
    PyObject *metaclass = PyDict_GetItemString(class_namespace.get(), "__metaclass__");
    if (!metaclass) metaclass = reinterpret_cast<PyObject *>(Py_TYPE(g_module.object_type));
    PyRef volume_info_class(
        PyObject_CallFunctionObjArgs(metaclass, name.get(), bases.get(), class_namespace.get(), nullptr));
    if (!volume_info_class) return nullptr;
    return PyObject_CallFunctionObjArgs(singleton.get(), volume_info_class.get(), nullptr);
}

bool LoadModule() {
    PyObject *builtins = PyImport_AddModule("__builtin__");
    if (!builtins || !InitNames()) return false;
    Py_INCREF(builtins);
    g_module.builtins = builtins;
    if (!Store("__builtins__", builtins)) return false;
    if (!(g_module.object_type = Builtin("object")) || !(g_module.type_error = Builtin("TypeError")) ||
        !(g_module.memory_error = Builtin("MemoryError"))) {
        return false;
    }
    // Before any collaborator: a missing RaiseWindowsError fails the load
    // without importing anything else.
    if (!BindRaiseWindowsError() || !ImportCollaborators()) return false;
    if (!Store("LOGGER", PyRef(NewLogger()).get()) || !Store("DRIVE_TYPE_MAP", PyRef(NewDriveTypeMap()).get()) ||
        !Store("VOLUME_NAME_GUID_MATCHER", PyRef(NewVolumeNameMatcher()).get())) {
        return false;
    }
    PyRef fat_names(Py_BuildValue("(ss)", "fat32", "exfat"));
    if (!fat_names || !(g_module.fat_filesystem_names = PyFrozenSet_New(fat_names.get())) ||
        !(g_module.is_fat_cache = PyDict_New())) {
        return false;
    }
    // The functions made from here on may be called while the load goes on
    // (by Singleton, say), and find everything they use in place.
    g_module.ready = true;
    if (!CreateFunction(kListVolumeNamesDef, &g_module.list_volume_names_function) ||
        !CreateFunction(kFindVolumeIDDef, &g_module.find_volume_id_function) ||
        !CreateFunction(kVolumeIDDef, &g_module.volume_id_function) || !CreateFunction(kIsFATDef, nullptr)) {
        return false;
    }
    return Store("VolumeInfo", PyRef(NewVolumeInfo()).get()) && Store("__test__", PyRef(PyDict_New()).get());
}

// Python 2.7's importer keeps a native module whose init failed in
// sys.modules and hands it out to the next import without loading it again:
// a module whose load failed is taken out, so that no import hands it out as
// loaded.
//
// A load that failed before the state was complete is forgotten: what it
// made is released (the interned names stay) and the next import loads the
// module afresh; the functions made so far refuse to run. Once the state is
// complete, the functions, and the class that Singleton was given, may be in
// the application's hands already (Singleton itself may keep the class): the
// state stays, and so does the module, whose namespace they read and which
// the host empties when its last reference goes. A later load is refused.
void EndFailedLoad(PyRef &module, PyObject *full_name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *modules = PyImport_GetModuleDict();
    if (full_name && PyDict_GetItem(modules, full_name) == module.get() && PyDict_DelItem(modules, full_name) < 0) {
        PyErr_Clear();
    }
    if (g_module.ready) {
        g_module.load_failed = true;
        g_module.module = module.release();
    } else {
        ModuleState failed = std::exchange(g_module, ModuleState{});
        g_module.names = failed.names;
        for (PyObject *owned : {failed.builtins, failed.object_type, failed.type_error, failed.memory_error,
                                failed.list_volume_names_function, failed.find_volume_id_function,
                                failed.volume_id_function, failed.fat_filesystem_names, failed.is_fat_cache}) {
            Py_XDECREF(owned);
        }
        // The host empties the module's namespace as it goes, which may run
        // code: with the exception put aside.
        module.reset();
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace

MODULE_INIT_FUNCTION initvolumes(void) {
    // One module per process: every function reads the one state. A second
    // load (under another name, or from inside the first) would change what
    // the loaded module's functions see, so it is refused.
    if (g_module.globals) {
        PyErr_SetString(PyExc_ImportError, g_module.load_failed
                                               ? "windows.volumes failed to load earlier in this process"
                                               : "windows.volumes is already loaded in this process");
        return;
    }
    if (!CheckRuntimeVersion()) return;
    PyObject *module = Py_InitModule4("volumes", kModuleMethods, kModuleDoc, nullptr, PYTHON_API_VERSION);
    if (!module) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kInitName);
        return;
    }
    PyRef owned_module = PyRef::Borrow(module);
    // The name sys.modules files it under, read before any collaborator runs.
    PyRef full_name(PyString_FromString(PyModule_GetName(module)));
    g_module.globals = PyModule_GetDict(module);
    if (!full_name || !LoadModule()) {
        AddTraceback(kInitName, __LINE__);
        EndFailedLoad(owned_module, full_name.get());
        return;
    }
    g_module.module = owned_module.release();  // the module and its state live as long as the process
}
