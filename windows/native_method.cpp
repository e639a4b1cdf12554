#include "native_method.h"

#include <structmember.h>

#include <cstddef>

#include "exceptions.h"
#include "module_state.h"
#include "py_ref.h"

namespace {

struct NativeMethodObject {
    PyObject_HEAD const NativeMethodDefinition *definition;
    PyObject *name;
    PyObject *qualname;
    PyObject *traceback_name;  // windows.volumes.<qualname>
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;
};

void NativeMethodDealloc(PyObject *self) {
    auto *method = reinterpret_cast<NativeMethodObject *>(self);
    Py_XDECREF(method->name);
    Py_XDECREF(method->qualname);
    Py_XDECREF(method->traceback_name);
    Py_XDECREF(method->module);
    Py_XDECREF(method->doc);
    Py_XDECREF(method->defaults);
    PyObject_Del(self);
}

// The host's one-argument convention: keywords are refused first.
bool CheckSelfOnly(const char *name, PyObject *args, PyObject *kwds) {
    if (kwds && PyDict_Size(kwds) != 0) {
        PyErr_Format(g_module.type_error, "%.200s() takes no keyword arguments", name);
        return false;
    }
    if (PyTuple_GET_SIZE(args) != 1) {
        PyErr_Format(g_module.type_error, "%.200s() takes exactly one argument (%ld given)", name,
                     static_cast<long>(PyTuple_GET_SIZE(args)));
        return false;
    }
    return true;
}

PyObject *NativeMethodCall(PyObject *self, PyObject *args, PyObject *kwds) {
    if (!CheckLoaded()) return nullptr;
    auto *method = reinterpret_cast<NativeMethodObject *>(self);
    const NativeMethodDefinition &definition = *method->definition;
    PyObject *values[kMaxMethodArguments] = {};
    PyRef held[kMaxMethodArguments];
    if (definition.self_only) {
        if (!CheckSelfOnly(definition.arguments.function_name, args, kwds)) return nullptr;
        values[0] = PyTuple_GET_ITEM(args, 0);
    } else {
        if (PyTuple_Check(method->defaults)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(method->defaults); ++i) {
                values[definition.arguments.required + i] = PyTuple_GET_ITEM(method->defaults, i);
            }
        }
        if (!ParseArguments(definition.arguments, args, kwds, values, held)) {
            return AddTraceback(PyString_AS_STRING(method->traceback_name), __LINE__);
        }
    }
    return CallNativeMethodBody(self, values);
}

// As a Python function does: fetched through an instance it is a bound
// method, through the class an unbound one.
PyObject *NativeMethodGet(PyObject *self, PyObject *instance, PyObject *owner) {
    if (instance == Py_None) instance = nullptr;
    return PyMethod_New(self, instance, owner);
}

PyObject *NativeMethodRepr(PyObject *self) {
    return PyString_FromFormat("<native function %s>",
                               PyString_AS_STRING(reinterpret_cast<NativeMethodObject *>(self)->qualname));
}

#define MEMBER(name, field) \
    { const_cast<char *>(name), T_OBJECT, offsetof(NativeMethodObject, field), READONLY, nullptr }
PyMemberDef kNativeMethodMembers[] = {
    MEMBER("__name__", name),         MEMBER("func_name", name),
    MEMBER("__qualname__", qualname), MEMBER("__module__", module),
    MEMBER("__doc__", doc),           MEMBER("func_doc", doc),
    MEMBER("__defaults__", defaults), MEMBER("func_defaults", defaults),
    {nullptr, 0, 0, 0, nullptr},
};
#undef MEMBER

PyTypeObject NativeMethodType;  // filled in by InitNativeMethodType

}  // namespace

bool InitNativeMethodType() {
    if (NativeMethodType.tp_flags & Py_TPFLAGS_READY) return true;
    Py_REFCNT(&NativeMethodType) = 1;
    Py_TYPE(&NativeMethodType) = &PyType_Type;
    NativeMethodType.tp_name = "windows.volumes.native_function";
    NativeMethodType.tp_basicsize = sizeof(NativeMethodObject);
    NativeMethodType.tp_dealloc = NativeMethodDealloc;
    NativeMethodType.tp_repr = NativeMethodRepr;
    NativeMethodType.tp_call = NativeMethodCall;
    NativeMethodType.tp_getattro = PyObject_GenericGetAttr;
    NativeMethodType.tp_flags = Py_TPFLAGS_DEFAULT;
    NativeMethodType.tp_doc = "A method of windows.volumes.VolumeInfo, implemented natively.";
    NativeMethodType.tp_members = kNativeMethodMembers;
    NativeMethodType.tp_descr_get = NativeMethodGet;
    return PyType_Ready(&NativeMethodType) == 0;
}

PyObject *NewNativeMethod(const NativeMethodDefinition &definition, const char *class_name, PyObject *defaults) {
    const char *name_text = definition.arguments.function_name;
    PyRef name(PyString_InternFromString(name_text));
    PyRef qualname(PyString_FromFormat("%s.%s", class_name, name_text));
    PyRef module(PyString_FromString("windows.volumes"));
    PyRef traceback_name(PyString_FromFormat("windows.volumes.%s.%s", class_name, name_text));
    PyRef doc(definition.doc ? PyString_FromString(definition.doc) : PyRef::Borrow(Py_None).release());
    if (!name || !qualname || !module || !traceback_name || !doc) return nullptr;
    auto *method = PyObject_New(NativeMethodObject, &NativeMethodType);
    if (!method) return nullptr;
    method->definition = &definition;
    method->name = name.release();
    method->qualname = qualname.release();
    method->traceback_name = traceback_name.release();
    method->module = module.release();
    method->doc = doc.release();
    method->defaults = PyRef::Borrow(defaults ? defaults : Py_None).release();
    return reinterpret_cast<PyObject *>(method);
}

PyObject *CallNativeMethodBody(PyObject *method, PyObject *const *arguments) {
    auto *native = reinterpret_cast<NativeMethodObject *>(method);
    return WithTraceback(native->definition->body(arguments), PyString_AS_STRING(native->traceback_name), __LINE__);
}

bool ResolvesToOwnMethod(PyObject *self, PyObject *name, PyObject *method) {
    PyTypeObject *type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(type, name) != method) return false;
    PyObject **instance_dict = _PyObject_GetDictPtr(self);
    return !(instance_dict && *instance_dict && PyDict_GetItem(*instance_dict, name));
}
