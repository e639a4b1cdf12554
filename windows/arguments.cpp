#include "arguments.h"

#include "module_state.h"

bool IsText(PyObject *value, TextType type) {
    return value == Py_None || PyUnicode_CheckExact(value) ||
           (type == TextType::Basestring && PyString_CheckExact(value));
}

bool CheckTextArgument(PyObject *value, const char *argument_name, TextType type) {
    if (IsText(value, type)) return true;
    PyErr_Format(g_module.type_error, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 argument_name, type == TextType::Unicode ? "unicode" : "basestring", Py_TYPE(value)->tp_name);
    return false;
}

PyObject *RaiseExpectedType(const char *expected, const char *got) {
    PyErr_Format(g_module.type_error, "Expected %.16s, got %.200s", expected, got);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Arguments by position or keyword.

namespace {

void RaiseArgumentCount(const ArgumentSpec &signature, Py_ssize_t given) {
    Py_ssize_t expected = given < signature.required ? signature.required : signature.total;
    const char *relation = signature.required == signature.total ? "exactly"
                           : given < signature.required          ? "at least"
                                                                 : "at most";
    // Counts as %ld: MinGW checks the host's formats against the Windows C
    // library's, which has no %zd.
    PyErr_Format(g_module.type_error, "%.200s() takes %.8s %ld positional argument%.1s (%ld given)",
                 signature.function_name, relation, static_cast<long>(expected), expected == 1 ? "" : "s",
                 static_cast<long>(given));
}

// The parameter names as interned strings, made at the first call that
// passes keywords.
PyObject *ParameterName(const ArgumentSpec &signature, Py_ssize_t index) {
    if (!signature.interned[index]) signature.interned[index] = PyString_InternFromString(signature.names[index]);
    return signature.interned[index];
}

// The index of the parameter named by `key` (a str or unicode), -1 for none.
Py_ssize_t ParameterIndex(const ArgumentSpec &signature, PyObject *key) {
    for (Py_ssize_t i = 0; i < signature.total; ++i) {
        PyObject *name = ParameterName(signature, i);
        if (!name) {
            PyErr_Clear();
            continue;
        }
        if (PyString_Check(key)) {
            if (_PyString_Eq(key, name)) return i;
        } else {
            // A unicode key that cannot be compared with the name is no match.
            int equal = PyUnicode_Compare(key, name);
            if (PyErr_Occurred()) PyErr_Clear();
            if (equal == 0) return i;
        }
    }
    return -1;
}

// The key as text for a message.
PyRef KeyText(PyObject *key) {
    if (PyString_Check(key)) return PyRef::Borrow(key);
    PyRef text(PyUnicode_AsEncodedString(key, "utf-8", "replace"));
    if (!text) {
        PyErr_Clear();
        text.reset(PyString_FromString("?"));
    }
    return text;
}

bool RejectKeywords(const ArgumentSpec &signature, PyObject *kwds, Py_ssize_t positional) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &position, &key, &value)) {
        if (!PyString_Check(key) && !PyUnicode_Check(key)) {
            PyErr_Format(g_module.type_error, "%.200s() keywords must be strings", signature.function_name);
            return false;
        }
        Py_ssize_t index = ParameterIndex(signature, key);
        if (index >= positional) continue;
        PyRef text = KeyText(key);
        if (!text) return false;
        if (index >= 0) {
            PyErr_Format(g_module.type_error, "%s() got multiple values for keyword argument '%s'",
                         signature.function_name, PyString_AS_STRING(text.get()));
        } else {
            PyErr_Format(g_module.type_error, "%.200s() got an unexpected keyword argument '%.200s'",
                         signature.function_name, PyString_AS_STRING(text.get()));
        }
        return false;
    }
    return true;
}

}  // namespace

bool ParseArguments(const ArgumentSpec &signature, PyObject *args, PyObject *kwds, PyObject **values, PyRef *held) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > signature.total) {
        RaiseArgumentCount(signature, positional);
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i)
        values[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t keywords = kwds ? PyDict_Size(kwds) : 0;
    if (keywords == 0) {
        if (positional >= signature.required) return true;
        RaiseArgumentCount(signature, positional);
        return false;
    }
    for (Py_ssize_t i = positional; i < signature.total; ++i) {
        if (i >= signature.required && keywords == 0) break;
        PyObject *name = ParameterName(signature, i);
        if (!name) return false;
        PyObject *value = PyDict_GetItem(kwds, name);  // also finds an equal unicode key
        if (value) {
            values[i] = value;
            held[i] = PyRef::Borrow(value);
            --keywords;
        } else if (i < signature.required) {
            RaiseArgumentCount(signature, i);
            return false;
        }
    }
    return keywords == 0 || RejectKeywords(signature, kwds, positional);
}
