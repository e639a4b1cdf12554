// The names windows.volumes makes once at load (names.def lists them), and
// the lookup of module-level names.
#ifndef WINDOWS_NAMES_H
#define WINDOWS_NAMES_H

#include <Python.h>

// Interned str objects, one per row of names.def, and two constants that
// are not str. They are made by the first load and outlive a failed one.
struct Names {
#define NAME(member) PyObject *member = nullptr;
#define TEXT(member, text) PyObject *member = nullptr;
#include "names.def"
    PyObject *backslash = nullptr;  // u"\\"
    PyObject *one = nullptr;        // 1
};

// Makes the names of g_module.names that are not made yet; false with an
// exception set.
bool InitNames();

// A module-level name: the module namespace, then the built-ins. New
// reference, or null with NameError.
PyObject *LookupGlobal(PyObject *name);

// <module-level name>.<attribute>, the name looked up as LookupGlobal does.
// New reference, or null.
PyObject *LookupGlobalAttribute(PyObject *name, PyObject *attribute);

#endif  // WINDOWS_NAMES_H
