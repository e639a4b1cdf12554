// What every function of windows.volumes shares at the host boundary: the
// module's process-lifetime state, name lookup in the module namespace,
// argument checking, traceback entries, the logger, the Windows error
// binding, and the function type whose instances bind as methods.
#ifndef WINDOWS_BOUNDARY_H
#define WINDOWS_BOUNDARY_H

#include <Python.h>

#include <cstdint>
#include <initializer_list>

#include "py_ref.h"
#include "winwrap_capi.h"

// Identifier and constant strings made once at load.
struct Names {
    // module-level names looked up at each use
    PyObject *LOGGER, *DRIVE_TYPE_MAP, *VOLUME_NAME_GUID_MATCHER, *utils, *volume_entry, *service, *platform_utils,
        *logging, *re, *_ListVolumeNames, *FindVolumeID, *_VolumeIDFromSerialNumber, *WindowsError;
    // attributes and methods
    PyObject *debug, *info, *error, *exception, *get, *GetMonotonicTime, *Lock, *VolumeEntry, *DeviceType, *UNKNOWN,
        *match, *group, *encode, *lower, *copy, *sort, *key, *len, *st_dev, *handle, *_lock, *_volume_ids,
        *_volume_entries, *_PopulateVolumeTable, *_FindVolumeIDForDeviceNumber, *GetVolumeEntryForVolumeID;
    // VolumeEntry keywords
    PyObject *volume, *mountpoint, *device_file, *device_number, *uuid, *model, *device_type, *label, *filesystem,
        *size;
    // constant texts
    PyObject *ascii, *strict, *backslash, *volume_id_format, *one, *exit_method, *enter_method;
    // log formats
    PyObject *same_volume_format, *growth_format, *write_failed_format, *refreshing_format, *mount_point_failed_format,
        *no_mount_point_format, *multiple_mounts_format, *volume_info_failed_format, *capacity_failed_format,
        *new_entries_format, *refresh_complete_format, *windows_error_format;
};

// State of the loaded module. It lives as long as the process, so these are
// plain pointers: nothing releases them, not even at interpreter shutdown. A
// load that fails releases what it made and leaves the state as it was
// before, so that the next import loads the module afresh.
struct ModuleState {
    // The module's dict, borrowed from the module: set from the start of a
    // load to its failure, or for good.
    PyObject *globals = nullptr;
    // Everything the functions use is in place. A function of a module whose
    // load failed, or that is called before its load got that far, finds this
    // false and refuses to run.
    bool ready = false;
    PyObject *builtins = nullptr;  // the __builtin__ module, owned
    PyObject *type_error = nullptr, *memory_error = nullptr, *object_type = nullptr;  // captured at load
    RaiseWindowsErrorFunction raise_windows_error = nullptr;
    // The module's own function objects, so that calls through a name that
    // still holds them can skip the host's call machinery.
    PyObject *list_volume_names_function = nullptr, *find_volume_id_function = nullptr, *volume_id_function = nullptr;
    PyObject *fat_filesystem_names = nullptr;  // frozenset, module-private
    PyObject *is_fat_cache = nullptr;          // dict, module-private
    Names names{};
};
extern ModuleState g_module;

// Makes the interned names of g_module.names that are not made yet; false
// with an exception set.
bool InitNames();

// True when the module's state is ready; otherwise false with ImportError
// "windows.volumes is not loaded". Every entry from the host checks this
// before anything else, as the rest of the state may be missing.
bool CheckLoaded();

// A module-level name: the module namespace, then the built-ins. New
// reference, or null with NameError.
PyObject *LookupGlobal(PyObject *name);

// Adds a traceback entry for `function_name` (file windows\volumes) to the
// exception being raised. Returns null so that error paths can end with it.
PyObject *AddTraceback(const char *function_name, int line);

// Result of a function body, with its traceback entry added on failure.
inline PyObject *WithTraceback(PyObject *result, const char *function_name, int line) {
    return result ? result : AddTraceback(function_name, line);
}

// A new tuple of `first` (when not null) followed by `rest`.
PyObject *PackArguments(PyObject *first, std::initializer_list<PyObject *> rest);
// callable(*arguments, **kwds); new reference or null.
PyObject *Call(PyObject *callable, std::initializer_list<PyObject *> arguments, PyObject *kwds = nullptr);

// Calls LOGGER.<level>(format, *arguments); false with an exception set.
bool Log(PyObject *level, PyObject *format, std::initializer_list<PyObject *> arguments);

// Raise WindowsError through windows.winwrap: for the calling thread's last
// Windows error, or for an explicit code. Always return null.
PyObject *RaiseLastWindowsError();
PyObject *RaiseWindowsErrorCode(uint32_t code);

// The type checks of the boundary. A declared text argument accepts None and
// objects of exactly that type.
enum class TextType { Unicode, Basestring };
bool IsText(PyObject *value, TextType type);
// "Argument '<name>' has incorrect type (expected <type>, got <type>)"
bool CheckTextArgument(PyObject *value, const char *argument_name, TextType type);
// "Expected <type>, got <type>"; returns null.
PyObject *RaiseExpectedType(const char *expected, const char *got);

// Arguments given by position or keyword, as IsFAT and the methods of
// VolumeInfo take them. `names` are interned; the first `required` have no
// default. Fills `values` with borrowed references (defaults left as they
// are). Values given by keyword are also held in `held` (`total` slots):
// the host hands a caller's **dict to the function as it is, and code that
// the function runs may empty it. False with TypeError set.
struct ArgumentSpec {
    const char *function_name;
    const char *const *names;
    PyObject **interned;  // `total` slots, filled on first use
    Py_ssize_t required;
    Py_ssize_t total;
};
bool ParseArguments(const ArgumentSpec &signature, PyObject *args, PyObject *kwds, PyObject **values, PyRef *held);

// The function type of VolumeInfo's methods: callable like a built-in, and
// binding to an instance like a Python function when fetched from a class.
// A call checks the arguments against `arguments` (defaults from the
// method's defaults tuple) and runs `body`, adding a traceback entry named
// "windows.volumes.<class>.<method>" when it fails. `self_only` methods take the host's
// one-argument convention instead (VolumeInfo.__init__).
using MethodBody = PyObject *(*)(PyObject *const *arguments);
constexpr Py_ssize_t kMaxMethodArguments = 2;
struct NativeMethodDefinition {
    ArgumentSpec arguments;  // function_name is the method's name
    MethodBody body;
    const char *doc;  // or null
    bool self_only;
};
bool InitNativeMethodType();
PyObject *NewNativeMethod(const NativeMethodDefinition &definition, const char *class_name, PyObject *defaults);
// Runs a method object made by NewNativeMethod on already checked arguments.
PyObject *CallNativeMethodBody(PyObject *method, PyObject *const *arguments);

// True when `name` on `self` resolves, as attribute lookup would, to the
// very `method` that the class was built with: the caller may then run the
// method's body directly instead of creating a bound method.
bool ResolvesToOwnMethod(PyObject *self, PyObject *name, PyObject *method);

// An exception caught by an `except` clause: while this lives, the exception
// (with a traceback entry for `function_name`) is the one being handled, as
// sys.exc_info() shows it; afterwards it is discarded and the previously
// handled exception is current again.
class HandledException {
public:
    HandledException(const char *function_name, int line);
    ~HandledException();
    HandledException(const HandledException &) = delete;
    HandledException &operator=(const HandledException &) = delete;

private:
    PyObject *saved_type_, *saved_value_, *saved_traceback_;
};

// True when the pending exception is an instance of the class bound to
// `name` (module namespace, then built-ins); -1 when that lookup fails.
int PendingExceptionMatches(PyObject *name);

#endif  // WINDOWS_BOUNDARY_H
