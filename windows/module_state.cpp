#include "module_state.h"

ModuleState g_module;

bool CheckLoaded() {
    if (g_module.ready) return true;
    PyErr_SetString(PyExc_ImportError, "windows.volumes is not loaded");
    return false;
}
