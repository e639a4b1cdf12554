#include "boundary.h"

#include <frameobject.h>
#include <structmember.h>

#include <cstring>
#include <iterator>

ModuleState g_module;

namespace {

struct NameText {
    PyObject *Names::*member;
    const char *text;
};

#define IDENTIFIER(name) \
    { &Names::name, #name }
const NameText kIdentifiers[] = {
    IDENTIFIER(LOGGER),
    IDENTIFIER(DRIVE_TYPE_MAP),
    IDENTIFIER(VOLUME_NAME_GUID_MATCHER),
    IDENTIFIER(utils),
    IDENTIFIER(volume_entry),
    IDENTIFIER(service),
    IDENTIFIER(platform_utils),
    IDENTIFIER(logging),
    IDENTIFIER(re),
    IDENTIFIER(_ListVolumeNames),
    IDENTIFIER(FindVolumeID),
    IDENTIFIER(_VolumeIDFromSerialNumber),
    IDENTIFIER(WindowsError),
    IDENTIFIER(debug),
    IDENTIFIER(info),
    IDENTIFIER(error),
    IDENTIFIER(exception),
    IDENTIFIER(get),
    IDENTIFIER(GetMonotonicTime),
    IDENTIFIER(Lock),
    IDENTIFIER(VolumeEntry),
    IDENTIFIER(DeviceType),
    IDENTIFIER(UNKNOWN),
    IDENTIFIER(match),
    IDENTIFIER(group),
    IDENTIFIER(encode),
    IDENTIFIER(lower),
    IDENTIFIER(copy),
    IDENTIFIER(sort),
    IDENTIFIER(key),
    IDENTIFIER(len),
    IDENTIFIER(st_dev),
    IDENTIFIER(handle),
    IDENTIFIER(_lock),
    IDENTIFIER(_volume_ids),
    IDENTIFIER(_volume_entries),
    IDENTIFIER(_PopulateVolumeTable),
    IDENTIFIER(_FindVolumeIDForDeviceNumber),
    IDENTIFIER(GetVolumeEntryForVolumeID),
    IDENTIFIER(volume),
    IDENTIFIER(mountpoint),
    IDENTIFIER(device_file),
    IDENTIFIER(device_number),
    IDENTIFIER(uuid),
    IDENTIFIER(model),
    IDENTIFIER(device_type),
    IDENTIFIER(label),
    IDENTIFIER(filesystem),
    IDENTIFIER(size),
    IDENTIFIER(ascii),
    IDENTIFIER(strict),
};
#undef IDENTIFIER

const NameText kTexts[] = {
    {&Names::volume_id_format, "serial:%s"},
    {&Names::same_volume_format, "FindNextVolume improperly returned same value %s"},
    {&Names::growth_format, "%s isn't big enough, allocating %s bytes."},
    {&Names::write_failed_format, "Could not write path names into %s-byte buffer."},
    {&Names::refreshing_format, "Refreshing volume information table."},
    {&Names::mount_point_failed_format, "Could not determine mount point for %s"},
    {&Names::no_mount_point_format, "Volume %s has no mount point. Skipping."},
    {&Names::multiple_mounts_format, "Got multiple mounts for %s: %s"},
    {&Names::volume_info_failed_format, "Unable to fetch volume info for %r, skipping."},
    {&Names::capacity_failed_format, "Could not determine volume capacity for %r"},
    {&Names::new_entries_format, "Got new volume entries: %r"},
    {&Names::refresh_complete_format, "Volume information refresh complete in %gs."},
    {&Names::windows_error_format, "WindowsError"},
    {&Names::exit_method, "__exit__"},
    {&Names::enter_method, "__enter__"},
};

const char kTracebackFile[] = "windows\\volumes";

}  // namespace

namespace {

bool InternNames(const NameText *first, const NameText *last) {
    for (const NameText *name = first; name != last; ++name) {
        PyObject *&member = g_module.names.*name->member;
        if (!member && !(member = PyString_InternFromString(name->text))) return false;
    }
    return true;
}

}  // namespace

// Names outlive a failed load: a later load finds them made.
bool InitNames() {
    Names &names = g_module.names;
    if (!InternNames(std::begin(kIdentifiers), std::end(kIdentifiers)) ||
        !InternNames(std::begin(kTexts), std::end(kTexts))) {
        return false;
    }
    const Py_UNICODE backslash = '\\';
    if (!names.backslash && !(names.backslash = PyUnicode_FromUnicode(&backslash, 1))) return false;
    return names.one || (names.one = PyInt_FromLong(1));
}

bool CheckLoaded() {
    if (g_module.ready) return true;
    PyErr_SetString(PyExc_ImportError, "windows.volumes is not loaded");
    return false;
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

// ---------------------------------------------------------------------------
// Functions that bind as methods.

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
