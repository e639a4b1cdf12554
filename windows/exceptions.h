// Exceptions of windows.volumes: traceback entries, WindowsError through
// windows.winwrap, and exceptions being handled.
#ifndef WINDOWS_EXCEPTIONS_H
#define WINDOWS_EXCEPTIONS_H

#include <Python.h>

#include <cstdint>

// Adds a traceback entry for `function_name` (file windows\volumes) to the
// exception being raised. Returns null so that error paths can end with it.
PyObject *AddTraceback(const char *function_name, int line);

// Result of a function body, with its traceback entry added on failure.
inline PyObject *WithTraceback(PyObject *result, const char *function_name, int line) {
    return result ? result : AddTraceback(function_name, line);
}

// Raise WindowsError through windows.winwrap: for the calling thread's last
// Windows error, or for an explicit code. Always return null.
PyObject *RaiseLastWindowsError();
PyObject *RaiseWindowsErrorCode(uint32_t code);

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

#endif  // WINDOWS_EXCEPTIONS_H
