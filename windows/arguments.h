// Argument checks at the boundary between Python and the module: text
// types, and arguments by position or keyword.
#ifndef WINDOWS_ARGUMENTS_H
#define WINDOWS_ARGUMENTS_H

#include <Python.h>

#include "py_ref.h"

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

#endif  // WINDOWS_ARGUMENTS_H
