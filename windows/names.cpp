#include "names.h"

#include "module_state.h"
#include "py_ref.h"

namespace {

struct NameText {
    PyObject *Names::*member;
    const char *text;
};

const NameText kNameTexts[] = {
#define NAME(member) {&Names::member, #member},
#define TEXT(member, text) {&Names::member, text},
#include "names.def"
};

}  // namespace

bool InitNames() {
    Names &names = g_module.names;
    for (const NameText &name : kNameTexts) {
        PyObject *&member = names.*name.member;
        if (!member && !(member = PyString_InternFromString(name.text))) return false;
    }
    const Py_UNICODE backslash = '\\';
    if (!names.backslash && !(names.backslash = PyUnicode_FromUnicode(&backslash, 1))) return false;
    return names.one || (names.one = PyInt_FromLong(1));
}

PyObject *LookupGlobal(PyObject *name) {
    if (PyObject *value = PyDict_GetItem(g_module.globals, name)) {
        Py_INCREF(value);
        return value;
    }
    PyObject *value = PyObject_GetAttr(g_module.builtins, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_NameError, "name '%.200s' is not defined", PyString_AS_STRING(name));
    }
    return value;
}

PyObject *LookupGlobalAttribute(PyObject *name, PyObject *attribute) {
    PyRef global(LookupGlobal(name));
    if (!global) return nullptr;
    return PyObject_GetAttr(global.get(), attribute);
}
