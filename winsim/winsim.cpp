// winsim: chooses the machine behind libwinstub's Windows functions, and
// drives a simulated one from Python.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "windows/platform.h"
#include "windows/py_ref.h"
#include "windows/wide_text.h"
#include "winstub/control.h"

namespace {

// Thrown once a Python exception is set; the function boundary returns NULL.
struct PythonError {};

[[noreturn]] void Raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw PythonError();
}

PyRef Checked(PyObject *new_reference) {
    if (!new_reference) {
        throw PythonError();
    }
    return PyRef(new_reference);
}

std::string TypeName(PyObject *object) {
    return Py_TYPE(object)->tp_name;
}

std::string Repr(PyObject *object) {
    PyRef repr = Checked(PyObject_Repr(object));
    return PyString_AsString(repr.get());
}

constexpr uint64_t kMaxDword = std::numeric_limits<DWORD>::max();
constexpr uint64_t kMaxQword = std::numeric_limits<uint64_t>::max();

// --- From Python ---

// A unicode object, or a str of ASCII characters. Windows names end at
// their NUL, so a NUL inside one is refused.
std::u16string Text(PyObject *object, const std::string &what) {
    if (PyString_Check(object)) {
        PyRef decoded = Checked(PyUnicode_FromEncodedObject(object, "ascii", "strict"));
        return Text(decoded.get(), what);
    }
    if (!PyUnicode_Check(object)) {
        Raise(PyExc_TypeError, what + " must be unicode, not " + TypeName(object));
    }
    const Py_UNICODE *data = PyUnicode_AS_UNICODE(object);
    if (std::find(data, data + PyUnicode_GET_SIZE(object), 0) != data + PyUnicode_GET_SIZE(object)) {
        Raise(PyExc_ValueError, what + " must not contain NUL characters");
    }
    WideText wide;
    if (!wide.Assign(object)) {
        throw PythonError();
    }
    return std::u16string(wide.get());
}

// An iterable of texts; a single string is refused rather than taken apart.
std::vector<std::u16string> Texts(PyObject *object, const std::string &what) {
    if (PyString_Check(object) || PyUnicode_Check(object)) {
        Raise(PyExc_TypeError, what + " must be a sequence of unicode paths, not a single string");
    }
    PyRef iterator(PyObject_GetIter(object));
    if (!iterator) {
        PyErr_Clear();
        Raise(PyExc_TypeError, what + " must be a sequence of unicode paths, not " + TypeName(object));
    }
    std::vector<std::u16string> texts;
    while (PyRef item{PyIter_Next(iterator.get())}) {
        texts.push_back(Text(item.get(), "each of " + what));
    }
    if (PyErr_Occurred()) {
        throw PythonError();
    }
    return texts;
}

uint64_t Unsigned(PyObject *object, const std::string &what, uint64_t max) {
    if (!PyInt_Check(object) && !PyLong_Check(object)) {
        Raise(PyExc_TypeError, what + " must be an integer, not " + TypeName(object));
    }
    PyRef as_long = Checked(PyNumber_Long(object));
    const unsigned long long value = PyLong_AsUnsignedLongLong(as_long.get());
    // Negative numbers and numbers beyond 64 bits fail the conversion.
    const bool converted = !(value == static_cast<unsigned long long>(-1) && PyErr_Occurred());
    if (!converted || value > max) {
        PyErr_Clear();
        Raise(PyExc_ValueError, what + " must be in the range 0 to " + std::to_string(max) + ", got " + Repr(object));
    }
    return value;
}

DWORD Dword(PyObject *object, const std::string &what) {
    return static_cast<DWORD>(Unsigned(object, what, kMaxDword));
}

int64_t Signed(PyObject *object, const std::string &what) {
    if (!PyInt_Check(object) && !PyLong_Check(object)) {
        Raise(PyExc_TypeError, what + " must be an integer, not " + TypeName(object));
    }
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        Raise(PyExc_ValueError, what + " must fit in a signed 64-bit integer, got " + Repr(object));
    }
    return value;
}

// --- To Python ---

PyRef Integer(long long value) {
    if (value >= std::numeric_limits<long>::min() && value <= std::numeric_limits<long>::max()) {
        return Checked(PyInt_FromLong(static_cast<long>(value)));
    }
    return Checked(PyLong_FromLongLong(value));
}

PyRef UnsignedInteger(uint64_t value) {
    if (value <= static_cast<uint64_t>(std::numeric_limits<long>::max())) {
        return Checked(PyInt_FromLong(static_cast<long>(value)));
    }
    return Checked(PyLong_FromUnsignedLongLong(value));
}

PyRef Unicode(const std::u16string &text) {
    return Checked(UnicodeFromWide(text.data(), text.size()));
}

PyRef Tuple(std::vector<PyRef> items) {
    PyRef tuple = Checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return tuple;
}

PyRef UnicodeTuple(const std::vector<std::u16string> &texts) {
    std::vector<PyRef> items;
    for (const std::u16string &text : texts) {
        items.push_back(Unicode(text));
    }
    return Tuple(std::move(items));
}

PyRef None() {
    return PyRef::Borrow(Py_None);
}

// --- Arguments ---

using Keywords = std::vector<const char *>;

// Parses objects only ("O" for each keyword, `required` of them required);
// the converters above give the messages.
template <typename... Objects>
void Parse(PyObject *args, PyObject *kwargs, const char *function, Keywords keywords, size_t required,
           Objects **...objects) {
    std::string format(required, 'O');
    if (required < keywords.size()) {
        format += '|' + std::string(keywords.size() - required, 'O');
    }
    format += ':';
    format += function;
    keywords.push_back(nullptr);
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char **>(keywords.data()), objects...)) {
        throw PythonError();
    }
}

// --- The functions ---

PyRef ResetMachine(PyObject *args, PyObject *kwargs) {
    Parse(args, kwargs, "reset", {}, 0);
    winstub::Reset();
    return None();
}

PyRef UseThisMachine(PyObject *args, PyObject *kwargs) {
    Parse(args, kwargs, "use_this_machine", {}, 0);
    winstub::UseThisMachine();
    return None();
}

PyRef UseSampleMachine(PyObject *args, PyObject *kwargs) {
    Parse(args, kwargs, "use_sample_machine", {}, 0);
    winstub::UseSampleMachine();
    return None();
}

PyRef AddVolume(PyObject *args, PyObject *kwargs) {
    PyObject *name = nullptr;
    PyObject *mount_points = nullptr;
    PyObject *label = nullptr;
    PyObject *serial = nullptr;
    PyObject *max_component = nullptr;
    PyObject *flags = nullptr;
    PyObject *filesystem = nullptr;
    PyObject *drive_type = nullptr;
    PyObject *total_bytes = nullptr;
    PyObject *information_error = nullptr;
    PyObject *free_bytes = nullptr;
    Parse(args, kwargs, "add_volume",
          {"name", "mount_points", "label", "serial", "max_component", "flags", "filesystem", "drive_type",
           "total_bytes", "information_error", "free_bytes"},
          1, &name, &mount_points, &label, &serial, &max_component, &flags, &filesystem, &drive_type, &total_bytes,
          &information_error, &free_bytes);
    winstub::VolumeSpec volume;
    volume.name = Text(name, "name");
    if (mount_points) {
        volume.mount_points = Texts(mount_points, "mount_points");
    }
    if (label) {
        volume.label = Text(label, "label");
    }
    if (serial) {
        volume.serial = Dword(serial, "serial");
    }
    if (max_component) {
        volume.max_component = Dword(max_component, "max_component");
    }
    if (flags) {
        volume.flags = Dword(flags, "flags");
    }
    if (filesystem) {
        volume.filesystem = Text(filesystem, "filesystem");
    }
    if (drive_type) {
        volume.drive_type = Dword(drive_type, "drive_type");
    }
    if (total_bytes == Py_None) {
        volume.total_bytes = std::nullopt;
    } else if (total_bytes) {
        volume.total_bytes = Unsigned(total_bytes, "total_bytes", kMaxQword);
    }
    if (information_error) {
        volume.information_error = Dword(information_error, "information_error");
    }
    if (free_bytes) {
        volume.free_bytes = Unsigned(free_bytes, "free_bytes", kMaxQword);
        if (volume.total_bytes && volume.free_bytes > *volume.total_bytes) {
            Raise(PyExc_ValueError, "free_bytes must not exceed total_bytes");
        }
    }
    winstub::AddVolume(volume);
    return None();
}

PyRef SetMountPoints(PyObject *args, PyObject *kwargs) {
    PyObject *name = nullptr;
    PyObject *mount_points = nullptr;
    Parse(args, kwargs, "set_mount_points", {"name", "mount_points"}, 2, &name, &mount_points);
    if (!winstub::SetMountPoints(Text(name, "name"), Texts(mount_points, "mount_points"))) {
        PyErr_SetObject(PyExc_KeyError, name);
        throw PythonError();
    }
    return None();
}

PyRef Fail(PyObject *args, PyObject *kwargs) {
    PyObject *function = nullptr;
    PyObject *code = nullptr;
    PyObject *times = nullptr;
    PyObject *skip = nullptr;
    PyObject *returned_length = nullptr;
    Parse(args, kwargs, "fail", {"function", "code", "times", "skip", "returned_length"}, 2, &function, &code, &times,
          &skip, &returned_length);
    std::string function_name;
    for (char16_t unit : Text(function, "function")) {
        // No function name holds anything but ASCII letters.
        function_name += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    if (!winstub::IsScriptableFunction(function_name)) {
        Raise(PyExc_ValueError, "unknown Windows function " + Repr(function));
    }
    std::optional<DWORD> length;
    if (returned_length && returned_length != Py_None) {
        if (function_name != "GetVolumePathNamesForVolumeNameW") {
            Raise(PyExc_ValueError, "returned_length applies to GetVolumePathNamesForVolumeNameW only");
        }
        length = Dword(returned_length, "returned_length");
    }
    winstub::Fail(function_name, Dword(code, "code"), times ? Dword(times, "times") : 1, skip ? Dword(skip, "skip") : 0,
                  length);
    return None();
}

PyRef OpenHandle(PyObject *args, PyObject *kwargs) {
    PyObject *name = nullptr;
    Parse(args, kwargs, "open_handle", {"name"}, 1, &name);
    const std::optional<int64_t> handle = winstub::OpenHandle(Text(name, "name"));
    if (!handle) {
        PyErr_SetObject(PyExc_KeyError, name);
        throw PythonError();
    }
    return Integer(*handle);
}

PyRef CloseHandle(PyObject *args, PyObject *kwargs) {
    PyObject *handle = nullptr;
    Parse(args, kwargs, "close_handle", {"handle"}, 1, &handle);
    if (!winstub::CloseHandle(Signed(handle, "handle"))) {
        PyErr_SetObject(PyExc_KeyError, handle);
        throw PythonError();
    }
    return None();
}

PyRef CurrentDirectory(PyObject *args, PyObject *kwargs) {
    Parse(args, kwargs, "current_directory", {}, 0);
    return Unicode(winstub::CurrentDirectory());
}

// A directory function of the control API: ValueError when it refuses the path.
template <bool (*Change)(const std::u16string &)>
PyRef DirectoryChange(PyObject *args, PyObject *kwargs, const char *function, const char *refusal) {
    PyObject *path = nullptr;
    Parse(args, kwargs, function, {"path"}, 1, &path);
    if (!Change(Text(path, "path"))) {
        Raise(PyExc_ValueError, std::string(refusal) + ": " + Repr(path));
    }
    return None();
}

PyRef ChangeDirectory(PyObject *args, PyObject *kwargs) {
    return DirectoryChange<winstub::ChangeDirectory>(args, kwargs, "change_directory", "no such directory");
}

PyRef AddDirectory(PyObject *args, PyObject *kwargs) {
    return DirectoryChange<winstub::AddDirectory>(args, kwargs, "add_directory", "not an absolute path");
}

PyRef SetDriveDirectory(PyObject *args, PyObject *kwargs) {
    return DirectoryChange<winstub::SetDriveDirectory>(args, kwargs, "set_drive_directory", "not an absolute path");
}

PyRef SetLastErrorCode(PyObject *args, PyObject *kwargs) {
    PyObject *code = nullptr;
    Parse(args, kwargs, "set_last_error", {"code"}, 1, &code);
    ::SetLastError(Dword(code, "code"));
    return None();
}

PyRef GetLastErrorCode(PyObject *args, PyObject *kwargs) {
    Parse(args, kwargs, "get_last_error", {}, 0);
    return UnsignedInteger(::GetLastError());
}

PyRef SetThreadErrorModeValue(PyObject *args, PyObject *kwargs) {
    PyObject *mode = nullptr;
    Parse(args, kwargs, "set_thread_error_mode", {"mode"}, 1, &mode);
    const DWORD value = Dword(mode, "mode");
    if (!::SetThreadErrorMode(value, nullptr)) {
        PyErr_Format(PyExc_ValueError, "SetThreadErrorMode refused mode 0x%lx", static_cast<unsigned long>(value));
        throw PythonError();
    }
    return None();
}

PyRef GetThreadErrorModeValue(PyObject *args, PyObject *kwargs) {
    Parse(args, kwargs, "thread_error_mode", {}, 0);
    return UnsignedInteger(::GetThreadErrorMode());
}

PyRef ErrorModes(PyObject *args, PyObject *kwargs) {
    Parse(args, kwargs, "error_modes", {}, 0);
    const std::vector<winstub::Call> calls = winstub::Calls();
    PyRef list = Checked(PyList_New(static_cast<Py_ssize_t>(calls.size())));
    for (size_t i = 0; i < calls.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), UnsignedInteger(calls[i].error_mode).release());
    }
    return list;
}

PyRef Calls(PyObject *args, PyObject *kwargs) {
    Parse(args, kwargs, "calls", {}, 0);
    const std::vector<winstub::Call> calls = winstub::Calls();
    PyRef list = Checked(PyList_New(static_cast<Py_ssize_t>(calls.size())));
    for (size_t i = 0; i < calls.size(); ++i) {
        std::vector<PyRef> items;
        items.push_back(Checked(PyString_FromString(calls[i].function.c_str())));
        for (const winstub::CallArgument &argument : calls[i].arguments) {
            if (const int64_t *number = std::get_if<int64_t>(&argument)) {
                items.push_back(Integer(*number));
            } else {
                items.push_back(Unicode(std::get<std::u16string>(argument)));
            }
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Tuple(std::move(items)).release());
    }
    return list;
}

PyRef OpenSearches(PyObject *args, PyObject *kwargs) {
    Parse(args, kwargs, "open_searches", {}, 0);
    return UnsignedInteger(winstub::OpenSearches());
}

void SetItem(PyObject *dict, const char *key, PyRef value) {
    if (PyDict_SetItemString(dict, key, value.get()) < 0) {
        throw PythonError();
    }
}

PyRef SampleVolumes(PyObject *args, PyObject *kwargs) {
    Parse(args, kwargs, "sample_volumes", {}, 0);
    PyRef list = Checked(PyList_New(0));
    for (const winstub::VolumeSpec &volume : winstub::SampleVolumes()) {
        PyRef dict = Checked(PyDict_New());
        SetItem(dict.get(), "name", Unicode(volume.name));
        SetItem(dict.get(), "mount_points", UnicodeTuple(volume.mount_points));
        SetItem(dict.get(), "label", Unicode(volume.label));
        SetItem(dict.get(), "serial", UnsignedInteger(volume.serial));
        SetItem(dict.get(), "max_component", UnsignedInteger(volume.max_component));
        SetItem(dict.get(), "flags", UnsignedInteger(volume.flags));
        SetItem(dict.get(), "filesystem", Unicode(volume.filesystem));
        SetItem(dict.get(), "drive_type", UnsignedInteger(volume.drive_type));
        SetItem(dict.get(), "total_bytes", volume.total_bytes ? UnsignedInteger(*volume.total_bytes) : None());
        SetItem(dict.get(), "information_error", UnsignedInteger(volume.information_error));
        SetItem(dict.get(), "free_bytes", UnsignedInteger(volume.free_bytes));
        if (PyList_Append(list.get(), dict.get()) < 0) {
            throw PythonError();
        }
    }
    return list;
}

// Where C++ meets the host: exceptions become Python exceptions.
template <PyRef (*Body)(PyObject *, PyObject *)>
PyObject *Boundary(PyObject *, PyObject *args, PyObject *kwargs) {
    try {
        return Body(args, kwargs).release();
    } catch (const PythonError &) {
        return nullptr;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return nullptr;
    }
}

template <PyRef (*Body)(PyObject *, PyObject *)>
PyMethodDef Method(const char *name, const char *doc) {
    // Through void(*)(): the host calls it with the keywords that METH_KEYWORDS promises.
    PyCFunction function = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Boundary<Body>));
    return PyMethodDef{name, function, METH_VARARGS | METH_KEYWORDS, doc};
}

PyMethodDef methods[] = {
    Method<ResetMachine>("reset",
                         "reset()\n\nMake an empty simulated machine active: no volumes, handles or scripted "
                         "failures, an empty call log, last error and error mode 0."),
    Method<UseThisMachine>("use_this_machine",
                           "use_this_machine()\n\nMake the machine that the process runs on active: its real "
                           "volumes, which\ncannot be scripted (the scripting functions raise RuntimeError)."),
    Method<UseSampleMachine>("use_sample_machine",
                             "use_sample_machine()\n\nMake a fresh sample machine active and empty the call log."),
    Method<AddVolume>("add_volume",
                      "add_volume(name, mount_points=(), label=u'', serial=0, max_component=255, flags=0,\n"
                      "           filesystem=u'NTFS', drive_type=3, total_bytes=0, information_error=0,\n"
                      "           free_bytes=0)\n\n"
                      "Append a volume to the enumeration. total_bytes None: its size query fails with\n"
                      "ERROR_NOT_READY. information_error nonzero: its information queries fail with it."),
    Method<SetMountPoints>("set_mount_points",
                           "set_mount_points(name, mount_points)\n\nReplace the mount points of the first "
                           "volume with that name."),
    Method<Fail>("fail",
                 "fail(function, code, times=1, skip=0, returned_length=None)\n\n"
                 "Make the next `times` calls of a Windows function fail with `code`, after `skip`\n"
                 "calls that succeed."),
    Method<OpenHandle>("open_handle",
                       "open_handle(name) -> int\n\nA handle of an open file on the first volume with that name."),
    Method<CloseHandle>("close_handle", "close_handle(handle)\n\nClose a handle from open_handle."),
    Method<CurrentDirectory>("current_directory",
                             "current_directory() -> unicode\n\nThe current directory (u'C:\\\\' or u'C:\\\\dir'); "
                             "until one is set,\nthe root of the first drive by letter. NULL and u'\\\\' name its "
                             "drive's root."),
    Method<ChangeDirectory>("change_directory",
                            "change_directory(path)\n\nMake an existing directory current (a relative path from "
                            "the current one):\na mount point, what holds one, an added directory or a drive's "
                            "directory.\nValueError, changing nothing, for one that does not exist."),
    Method<AddDirectory>("add_directory",
                         "add_directory(path)\n\nMake an absolute path exist as a directory, with those that hold "
                         "it."),
    Method<SetDriveDirectory>("set_drive_directory",
                              "set_drive_directory(path)\n\nThe current directory of the path's drive, which Windows "
                              "keeps in the\nenvironment variable u'=C:': where the drive-relative u'C:' starts "
                              "while the\ncurrent directory is on another drive."),
    Method<SetLastErrorCode>("set_last_error", "set_last_error(code)\n\nSet the calling thread's last error."),
    Method<GetLastErrorCode>("get_last_error", "get_last_error() -> int\n\nThe calling thread's last error."),
    Method<Calls>("calls", "calls() -> list of tuples\n\nThe Windows calls made since the last reset, in order."),
    Method<ErrorModes>("error_modes",
                       "error_modes() -> list of int\n\nThe calling thread's error mode during each call of "
                       "calls(), in order."),
    Method<SetThreadErrorModeValue>("set_thread_error_mode",
                                    "set_thread_error_mode(mode)\n\nSet the calling thread's error mode."),
    Method<GetThreadErrorModeValue>("thread_error_mode",
                                    "thread_error_mode() -> int\n\nThe calling thread's error mode."),
    Method<OpenSearches>("open_searches", "open_searches() -> int\n\nHow many volume searches are open."),
    Method<SampleVolumes>("sample_volumes",
                          "sample_volumes() -> list of dicts\n\nThe sample machine's volumes as add_volume "
                          "keywords."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

MODULE_INIT_FUNCTION initwinsim(void) {
    Py_InitModule3("winsim", methods,
                   "Control of the machine behind the Windows functions: this machine, the sample\n"
                   "machine, or a scripted simulated machine.");
}
