// The native entry point that windows.winwrap exports through its capsule
// table, as both sides of the binding see it. It lives beside the module,
// the side that binds; the winwrap stand-in, the side that exports,
// includes it from here.
#ifndef WINDOWS_WINWRAP_CAPI_H
#define WINDOWS_WINWRAP_CAPI_H

#include <Python.h>
#include <stdint.h>

#define WINWRAP_CAPI_MODULE "windows.winwrap"
#define WINWRAP_RAISE_WINDOWS_ERROR "RaiseWindowsError"
#define WINWRAP_RAISE_WINDOWS_ERROR_SIGNATURE     \
    "PyObject *(int __pyx_skip_dispatch, struct " \
    "__pyx_opt_args_7windows_7winwrap_RaiseWindowsError *__pyx_optional_args)"

// Optional arguments: how many follow (0 or 1), then the Windows error code.
struct RaiseWindowsErrorOptionalArgs {
    int32_t count;
    uint32_t code;
};

typedef PyObject *(*RaiseWindowsErrorFunction)(int skip_dispatch, RaiseWindowsErrorOptionalArgs *optional);

#endif  // WINDOWS_WINWRAP_CAPI_H
