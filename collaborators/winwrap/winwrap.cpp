// windows.winwrap: turns Windows error codes into WindowsError.
//
// Other native modules bind RaiseWindowsError through the capsule table
// __pyx_capi__, under the signature name that the application's own build of
// this module exports. On hosts without a built-in WindowsError, importing
// this module defines one and installs it among the built-ins.
#include <Python.h>

#include "windows/platform.h"
#include "windows/py_ref.h"
#include "windows/winwrap_capi.h"

namespace {

// The class raised; set once at import and kept for the life of the process.
PyObject *windows_error_type = nullptr;

// The system's text for a Windows error code, without the trailing line break.
// A str, as the host's own WindowsError messages are (UTF-8 where not ASCII),
// so that str() of the error works for every message.
PyRef MessageFor(DWORD code) {
    WCHAR buffer[1024];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                                  sizeof buffer / sizeof buffer[0], nullptr);
    if (length == 0) return PyRef(PyString_FromString("Unknown error"));
    while (length > 0 && (buffer[length - 1] == u'\r' || buffer[length - 1] == u'\n'))
        --length;

    int byte_order = 0;  // native
    PyRef text(PyUnicode_DecodeUTF16(reinterpret_cast<const char *>(buffer),
                                     static_cast<Py_ssize_t>(length * sizeof(WCHAR)), "replace", &byte_order));
    if (!text) return text;
    return PyRef(PyUnicode_AsUTF8String(text.get()));
}

// Raises WindowsError for the calling thread's last Windows error, or for the
// code in the record when one is given; always returns NULL.
PyObject *RaiseWindowsError(int /*skip_dispatch*/, RaiseWindowsErrorOptionalArgs *optional_args) {
    // Read first: building the exception may change the last error.
    DWORD code = optional_args != nullptr && optional_args->count >= 1 ? optional_args->code : GetLastError();
    PyRef message = MessageFor(code);
    if (!message) return nullptr;
    // The code as a signed int, as the host's own PyErr_SetFromWindowsErr passes it.
    PyRef error(
        PyObject_CallFunction(windows_error_type, const_cast<char *>("iO"), static_cast<int>(code), message.get()));
    if (!error) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

// RaiseWindowsError(code=None): the Python-callable form, for tests and scripts.
PyObject *RaiseWindowsErrorFromPython(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"code", nullptr};
    PyObject *code = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:RaiseWindowsError", const_cast<char **>(keywords), &code))
        return nullptr;
    if (code == Py_None) return RaiseWindowsError(0, nullptr);
    PyRef number(PyNumber_Index(code));
    if (!number) return nullptr;
    unsigned long value = PyLong_AsUnsignedLong(number.get());  // also takes int, refuses negatives
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    if (value > 0xFFFFFFFFul) {
        PyErr_SetString(PyExc_OverflowError, "a Windows error code is 32 bits");
        return nullptr;
    }
    RaiseWindowsErrorOptionalArgs record{1, static_cast<DWORD>(value)};
    return RaiseWindowsError(0, &record);
}

PyMethodDef methods[] = {
    {"RaiseWindowsError", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(RaiseWindowsErrorFromPython)),
     METH_VARARGS | METH_KEYWORDS,
     "RaiseWindowsError(code=None)\n\nRaise WindowsError for code, or for the calling thread's last Windows "
     "error when code is None."},
    {nullptr, nullptr, 0, nullptr},
};

// WindowsError as the host defines it on Windows: WindowsError(winerror,
// strerror[, filename]) keeps the Windows code as winerror and the POSIX
// code that Windows maps it to as errno.
constexpr char kWindowsErrorSource[] = R"(
import errno as _errno

# The host's own table (PC/errmap.h of Python 2.7), by errno name; every
# other code is EINVAL.
_ERRNO_FOR_WINERROR = {
    2: _errno.ENOENT, 3: _errno.ENOENT, 4: _errno.EMFILE, 5: _errno.EACCES, 6: _errno.EBADF,
    7: _errno.ENOMEM, 8: _errno.ENOMEM, 9: _errno.ENOMEM, 10: _errno.E2BIG, 11: _errno.ENOEXEC,
    15: _errno.ENOENT, 16: _errno.EACCES, 17: _errno.EXDEV, 18: _errno.ENOENT, 19: _errno.EACCES,
    20: _errno.EACCES, 21: _errno.EACCES, 22: _errno.EACCES, 23: _errno.EACCES, 24: _errno.EACCES,
    25: _errno.EACCES, 26: _errno.EACCES, 27: _errno.EACCES, 28: _errno.EACCES, 29: _errno.EACCES,
    30: _errno.EACCES, 31: _errno.EACCES, 32: _errno.EACCES, 33: _errno.EACCES, 34: _errno.EACCES,
    35: _errno.EACCES, 36: _errno.EACCES, 53: _errno.ENOENT, 65: _errno.EACCES, 67: _errno.ENOENT,
    80: _errno.EEXIST, 82: _errno.EACCES, 83: _errno.EACCES, 89: _errno.EAGAIN, 108: _errno.EACCES,
    109: _errno.EPIPE, 112: _errno.ENOSPC, 114: _errno.EBADF, 128: _errno.ECHILD, 129: _errno.ECHILD,
    130: _errno.EBADF, 132: _errno.EACCES, 145: _errno.ENOTEMPTY, 158: _errno.EACCES, 161: _errno.ENOENT,
    164: _errno.EAGAIN, 167: _errno.EACCES, 183: _errno.EEXIST, 188: _errno.ENOEXEC, 189: _errno.ENOEXEC,
    190: _errno.ENOEXEC, 191: _errno.ENOEXEC, 192: _errno.ENOEXEC, 193: _errno.ENOEXEC, 194: _errno.ENOEXEC,
    195: _errno.ENOEXEC, 196: _errno.ENOEXEC, 197: _errno.ENOEXEC, 198: _errno.ENOEXEC, 199: _errno.ENOEXEC,
    200: _errno.ENOEXEC, 201: _errno.ENOEXEC, 202: _errno.ENOEXEC, 206: _errno.ENOENT, 215: _errno.EAGAIN,
    1816: _errno.ENOMEM
}


class WindowsError(OSError):
    """MS-Windows OS system call failed."""

    __module__ = "exceptions"

    def __init__(self, *args):
        OSError.__init__(self, *args)
        if 2 <= len(args) <= 3:
            self.winerror = self.errno
            self.errno = _ERRNO_FOR_WINERROR.get(self.winerror, _errno.EINVAL)
        else:
            self.winerror = None

    def __str__(self):
        if self.winerror is None:
            return OSError.__str__(self)
        if self.filename is not None:
            return "[Error %s] %s: %r" % (self.winerror, self.strerror, self.filename)
        return "[Error %s] %s" % (self.winerror, self.strerror)
)";

// The built-in WindowsError; defined and installed among the built-ins where
// the host has none.
PyRef WindowsErrorType() {
    PyRef builtins(PyImport_ImportModule("__builtin__"));
    if (!builtins) return PyRef();
    if (PyObject_HasAttrString(builtins.get(), "WindowsError"))
        return PyRef(PyObject_GetAttrString(builtins.get(), "WindowsError"));

    PyRef globals(PyDict_New());
    PyRef name(PyString_FromString("windows.winwrap"));
    if (!globals || !name || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0 ||
        PyDict_SetItemString(globals.get(), "__name__", name.get()) < 0)
        return PyRef();
    PyRef result(PyRun_String(kWindowsErrorSource, Py_file_input, globals.get(), globals.get()));
    if (!result) return PyRef();
    PyRef type = PyRef::Borrow(PyDict_GetItemString(globals.get(), "WindowsError"));
    if (!type || PyObject_SetAttrString(builtins.get(), "WindowsError", type.get()) < 0) return PyRef();
    return type;
}

bool InitModule() {
    PyObject *module = Py_InitModule4("winwrap", methods, "Windows error helpers.", nullptr, PYTHON_API_VERSION);
    if (module == nullptr) return false;  // borrowed

    PyRef type = WindowsErrorType();
    if (!type) return false;
    if (PyObject_SetAttrString(module, "WindowsError", type.get()) < 0) return false;
    windows_error_type = type.release();

    RaiseWindowsErrorFunction exported = RaiseWindowsError;  // the type both sides of the binding agree on
    PyRef capi(PyDict_New());
    PyRef capsule(PyCapsule_New(reinterpret_cast<void *>(exported), WINWRAP_RAISE_WINDOWS_ERROR_SIGNATURE, nullptr));
    if (!capi || !capsule || PyDict_SetItemString(capi.get(), WINWRAP_RAISE_WINDOWS_ERROR, capsule.get()) < 0)
        return false;
    return PyObject_SetAttrString(module, "__pyx_capi__", capi.get()) == 0;
}

}  // namespace

MODULE_INIT_FUNCTION initwinwrap(void) {
    InitModule();  // on failure the exception is set, which fails the import
}
