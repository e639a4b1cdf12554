// Calls into Python from the module: argument tuples, calls, the logger.
#ifndef WINDOWS_CALLS_H
#define WINDOWS_CALLS_H

#include <Python.h>

#include <initializer_list>

// A new tuple of `first` (when not null) followed by `rest`.
PyObject *PackArguments(PyObject *first, std::initializer_list<PyObject *> rest);
// callable(*arguments, **kwds); new reference or null.
PyObject *Call(PyObject *callable, std::initializer_list<PyObject *> arguments, PyObject *kwds = nullptr);

// Calls LOGGER.<level>(format, *arguments); false with an exception set.
bool Log(PyObject *level, PyObject *format, std::initializer_list<PyObject *> arguments);

#endif  // WINDOWS_CALLS_H
