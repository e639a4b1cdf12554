// The state of windows.volumes that every function reads: made by the load,
// kept for the life of the process.
#ifndef WINDOWS_MODULE_STATE_H
#define WINDOWS_MODULE_STATE_H

#include <Python.h>

#include "names.h"
#include "winwrap_capi.h"

// It lives as long as the process, so these are plain pointers: nothing
// releases them, not even at interpreter shutdown. A load that fails before
// the state is ready releases what it made and leaves the state as it was
// before, so that the next import loads the module afresh; one that fails
// later leaves it in place (windows/volumes.cpp).
struct ModuleState {
    // The module's dict, borrowed from the module: set from the start of a
    // load to a failure before `ready`, or for good.
    PyObject *globals = nullptr;
    // The module, owned for good by a load that completed or failed after
    // `ready`: the host empties a module's namespace when its last reference
    // goes.
    PyObject *module = nullptr;
    // Everything the functions use is in place. A function of a module whose
    // load failed, or that is called before its load got that far, finds this
    // false and refuses to run.
    bool ready = false;
    // The load failed once the state was ready: the state stays, no import
    // hands the module out, and a later load is refused.
    bool load_failed = false;
    PyObject *builtins = nullptr;  // the __builtin__ module, owned
    PyObject *type_error = nullptr, *memory_error = nullptr, *object_type = nullptr;  // captured at load
    RaiseWindowsErrorFunction raise_windows_error = nullptr;
    // The module's own function objects, so that calls through a name that
    // still holds them can skip the interpreter's call machinery.
    PyObject *list_volume_names_function = nullptr, *find_volume_id_function = nullptr, *volume_id_function = nullptr;
    PyObject *fat_filesystem_names = nullptr;  // frozenset, module-private
    PyObject *is_fat_cache = nullptr;          // dict, module-private
    Names names{};
};
extern ModuleState g_module;

// True when the module's state is ready; otherwise false with ImportError
// "windows.volumes is not loaded". Every entry from Python checks this
// before anything else, as the rest of the state may be missing.
bool CheckLoaded();

#endif  // WINDOWS_MODULE_STATE_H
