#include "calls.h"

#include "module_state.h"
#include "names.h"
#include "py_ref.h"

PyObject *PackArguments(PyObject *first, std::initializer_list<PyObject *> rest) {
    const Py_ssize_t offset = first ? 1 : 0;
    PyObject *tuple = PyTuple_New(offset + static_cast<Py_ssize_t>(rest.size()));
    if (!tuple) return nullptr;
    if (first) {
        Py_INCREF(first);
        PyTuple_SET_ITEM(tuple, 0, first);
    }
    Py_ssize_t index = offset;
    for (PyObject *item : rest) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(tuple, index++, item);
    }
    return tuple;
}

PyObject *Call(PyObject *callable, std::initializer_list<PyObject *> arguments, PyObject *kwds) {
    PyRef tuple(PackArguments(nullptr, arguments));
    return tuple ? PyObject_Call(callable, tuple.get(), kwds) : nullptr;
}

bool Log(PyObject *level, PyObject *format, std::initializer_list<PyObject *> arguments) {
    PyRef logger(LookupGlobal(g_module.names.LOGGER));
    if (!logger) return false;
    PyRef method(PyObject_GetAttr(logger.get(), level));
    if (!method) return false;
    PyRef call_arguments(PackArguments(format, arguments));
    if (!call_arguments) return false;
    return PyRef(PyObject_Call(method.get(), call_arguments.get(), nullptr)).get() != nullptr;
}
