#include "exceptions.h"

#include <frameobject.h>

#include "module_state.h"
#include "names.h"
#include "py_ref.h"

namespace {

const char kTracebackFile[] = "windows\\volumes";

}  // namespace

PyObject *AddTraceback(const char *function_name, int line) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject *code = PyCode_NewEmpty(kTracebackFile, function_name, line);
    PyFrameObject *frame = code ? PyFrame_New(PyThreadState_GET(), code, g_module.globals, nullptr) : nullptr;
    Py_XDECREF(code);
    // The exception being raised wins over a failure to describe it.
    PyErr_Restore(type, value, traceback);
    if (frame) {
        frame->f_lineno = line;
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
    return nullptr;
}

namespace {

PyObject *CallRaiseWindowsError(RaiseWindowsErrorOptionalArgs *optional) {
    PyObject *result = g_module.raise_windows_error(0, optional);
    // It always raises; should it not, the failure must not pass for success.
    if (result) {
        Py_DECREF(result);
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "windows.winwrap.RaiseWindowsError returned without raising");
        }
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "windows.winwrap.RaiseWindowsError failed without raising");
    }
    return nullptr;
}

}  // namespace

PyObject *RaiseLastWindowsError() {
    return CallRaiseWindowsError(nullptr);
}

PyObject *RaiseWindowsErrorCode(uint32_t code) {
    RaiseWindowsErrorOptionalArgs optional{1, code};
    return CallRaiseWindowsError(&optional);
}

// ---------------------------------------------------------------------------
// Exceptions being handled.

HandledException::HandledException(const char *function_name, int line) {
    AddTraceback(function_name, line);
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (!value) value = PyRef::Borrow(Py_None).release();
    PyThreadState *thread = PyThreadState_GET();
    saved_type_ = thread->exc_type;
    saved_value_ = thread->exc_value;
    saved_traceback_ = thread->exc_traceback;
    thread->exc_type = type;
    thread->exc_value = value;
    thread->exc_traceback = traceback;
}

HandledException::~HandledException() {
    PyThreadState *thread = PyThreadState_GET();
    PyObject *type = thread->exc_type, *value = thread->exc_value, *traceback = thread->exc_traceback;
    thread->exc_type = saved_type_;
    thread->exc_value = saved_value_;
    thread->exc_traceback = saved_traceback_;
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
}

int PendingExceptionMatches(PyObject *name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef expected(LookupGlobal(name));
    if (!expected) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return -1;
    }
    int matches = PyErr_GivenExceptionMatches(type, expected.get());
    PyErr_Restore(type, value, traceback);
    return matches;
}

