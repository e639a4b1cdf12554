// The function type of VolumeInfo's methods.
#ifndef WINDOWS_NATIVE_METHOD_H
#define WINDOWS_NATIVE_METHOD_H

#include <Python.h>

#include "arguments.h"

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

#endif  // WINDOWS_NATIVE_METHOD_H
