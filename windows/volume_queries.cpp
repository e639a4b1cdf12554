#include "volume_queries.h"

#include <cstring>
#include <limits>

#include "arguments.h"
#include "calls.h"
#include "exceptions.h"
#include "module_state.h"
#include "platform.h"
#include "py_ref.h"
#include "wide_text.h"

const char kListVolumeNamesDoc[] =
    "Returns a list of UNC volume names.\n"
    "\n"
    "  Returns:\n"
    "    List of UNC GUID volume names as reported by the system. Not all such\n"
    "    names will actually correspond to mounted volumes, because Windows.\n"
    "\n"
    "  Raises:\n"
    "    WindowsError: If calls to the Windows API fail.\n"
    "  ";

const char kGetVolumePathNamesForVolumeNameDoc[] =
    "Retrieves volume paths as per the win32 call of the same name.\n"
    "\n"
    "  Args:\n"
    "    guid_path: The GUID path of the volume, of the form:\n"
    "        \"\\\\?\\Volume{ABCDEF-01234...}\\\".\n"
    "\n"
    "  Returns:\n"
    "    List of unicode mount points (drive letters or otherwise) assigned to this\n"
    "    volume. Note that some volumes may have no paths assigned. This may even\n"
    "    happen when the volume actually does have accessible mounts, due to an\n"
    "    apparent bug in the disk management subsystem.\n"
    "\n"
    "  Raises:\n"
    "    WindowsError: If a Windows API returns an error code.\n"
    "  ";

#define VOLUME_INFORMATION_RETURNS                                                     \
    "  Returns:\n"                                                                     \
    "    Tuple containing five values. Not coincidentally, this is the same form\n"    \
    "    as win32file.GetVolumeInformation, except that the volume label is unicode\n" \
    "    and the serial number doesn't need manipulation to match the stat result.\n"  \
    "\n"                                                                               \
    "    volume_label: Unicode volume label.\n"                                        \
    "    serial_number: Integer, matches stat_result.st_dev for this volume.\n"        \
    "    component_length: Integer, maximum path component length on this volume.\n"   \
    "    flags: Integer. See Microsoft's documentation for flag details.\n"            \
    "    filesystem: String, filesystem name.\n"                                       \
    "\n"                                                                               \
    "  Raises:\n"

const char kGetVolumeInformationDoc[] =
    "Retrieves volume information as per the win32 call of the same name.\n"
    "\n"
    "  Args:\n"
    "    path: Unicode path to the volume mountpoint. Must end in a trailing slash.\n"
    "\n" VOLUME_INFORMATION_RETURNS
    "    TypeError: If input path is not unicode.\n"
    "    WindowsError: For any error involving the Windows API call.\n"
    "  ";

const char kGetVolumeInformationByHandleDoc[] =
    "Retrieves volume information as per the win32 call of the same name.\n"
    "\n"
    "  Args:\n"
    "    handle: File handle to a file on the volume you wish to look up.\n"
    "\n" VOLUME_INFORMATION_RETURNS
    "    WindowsError: For any error involving the Windows API call.\n"
    "  ";

#undef VOLUME_INFORMATION_RETURNS

namespace {

const char kListVolumeNamesName[] = "windows.volumes._ListVolumeNames";
const char kGetVolumePathNamesName[] = "windows.volumes._GetVolumePathNamesForVolumeName";
const char kGetVolumeInformationName[] = "windows.volumes.GetVolumeInformation";
const char kGetVolumeInformationByHandleName[] = "windows.volumes.GetVolumeInformationByHandle";

// ---------------------------------------------------------------------------
// Volume enumeration.

// A find-volume search handle, closed exactly once on every way out.
class VolumeSearch {
public:
    explicit VolumeSearch(HANDLE handle) : handle_(handle) {}
    VolumeSearch(const VolumeSearch &) = delete;
    VolumeSearch &operator=(const VolumeSearch &) = delete;
    ~VolumeSearch() { FindVolumeClose(handle_); }

private:
    HANDLE handle_;
};

bool SameText(PyObject *left, PyObject *right) {
    const Py_ssize_t length = PyUnicode_GET_SIZE(left);
    return length == PyUnicode_GET_SIZE(right) &&
           std::memcmp(PyUnicode_AS_UNICODE(left), PyUnicode_AS_UNICODE(right), length * sizeof(Py_UNICODE)) == 0;
}

PyObject *ListVolumeNamesBody() {
    WCHAR name_buffer[kNameBufferLength];
    HANDLE handle = FindFirstVolumeW(name_buffer, kNameBufferLength);
    if (handle == INVALID_HANDLE_VALUE) return RaiseLastWindowsError();
    VolumeSearch search(handle);

    PyRef current_name(UnicodeFromNameBuffer(name_buffer));
    if (!current_name) return nullptr;
    PyRef volume_names(PyList_New(0));
    if (!volume_names || PyList_Append(volume_names.get(), current_name.get()) < 0) return nullptr;
    for (;;) {
        if (!FindNextVolumeW(handle, name_buffer, kNameBufferLength)) {
            const DWORD code = GetLastError();
            if (code == ERROR_NO_MORE_FILES) break;
            return RaiseWindowsErrorCode(code);
        }
        current_name.reset(UnicodeFromNameBuffer(name_buffer));
        if (!current_name) return nullptr;
        PyObject *last_name = PyList_GET_ITEM(volume_names.get(), PyList_GET_SIZE(volume_names.get()) - 1);
        if (SameText(last_name, current_name.get())) {
            // A search that repeats itself would never end.
            if (!Log(g_module.names.error, g_module.names.same_volume_format, {current_name.get()})) return nullptr;
            break;
        }
        if (PyList_Append(volume_names.get(), current_name.get()) < 0) return nullptr;
    }
    return volume_names.release();
}

// ---------------------------------------------------------------------------
// Mount paths.

// The block that receives the packed answer, from the host's allocator.
class PathBuffer {
public:
    PathBuffer() = default;
    PathBuffer(const PathBuffer &) = delete;
    PathBuffer &operator=(const PathBuffer &) = delete;
    ~PathBuffer() { Release(); }

    // Room for `characters` UTF-16 code units; false with MemoryError set.
    // The byte count is computed wide so that it cannot wrap on any host.
    bool Allocate(DWORD characters) {
        Release();
        const uint64_t bytes = static_cast<uint64_t>(characters) * sizeof(WCHAR);
        if (bytes <= static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
            data_ = static_cast<WCHAR *>(PyMem_Malloc(static_cast<size_t>(bytes)));
        }
        if (!data_) {
            PyErr_Format(g_module.memory_error, "Could not allocate %llu bytes.",
                         static_cast<unsigned long long>(bytes));
            return false;
        }
        return true;
    }
    void Release() {
        PyMem_Free(data_);
        data_ = nullptr;
    }
    WCHAR *get() const { return data_; }

private:
    WCHAR *data_ = nullptr;
};

// Byte counts for log records: characters times two, as a host integer.
PyObject *ByteCount(DWORD characters) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(characters) * sizeof(WCHAR));
}

// The non-empty NUL-separated pieces of the packed answer, in order.
PyObject *SplitPackedPaths(const WCHAR *packed, size_t length) {
    PyRef paths(PyList_New(0));
    if (!paths) return nullptr;
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && packed[i] != 0) continue;
        if (i > start) {
            PyRef path(UnicodeFromWide(packed + start, i - start));
            if (!path || PyList_Append(paths.get(), path.get()) < 0) return nullptr;
        }
        start = i + 1;
    }
    return paths.release();
}

PyObject *PathNamesBody(PyObject *guid_path) {
    PyRef volume_name(PyObject_Unicode(guid_path));
    if (!volume_name) return nullptr;
    WideText wide_name;
    if (!wide_name.Assign(volume_name.get())) return nullptr;

    DWORD buffer_length = 5;  // one drive-letter path, its NUL and the closing NUL
    DWORD returned_length = 0;
    PathBuffer buffer;
    if (!buffer.Allocate(buffer_length)) return nullptr;
    for (;;) {
        const BOOL succeeded =
            GetVolumePathNamesForVolumeNameW(wide_name.get(), buffer.get(), buffer_length, &returned_length);
        if (succeeded) {
            if (returned_length < 2) return PyList_New(0);  // only the closing NUL: no mount point
            break;
        }
        // The code only chooses between growing the buffer and failing. A
        // failure is logged first and then raised for the thread's last
        // error as it stands after the record, so what the caller gets is the
        // error current when WindowsError is made.
        const DWORD code = GetLastError();
        if (code != ERROR_MORE_DATA) {
            // Whatever the call left in the returned length, it failed.
            PyRef size(ByteCount(buffer_length));
            if (!size || !Log(g_module.names.error, g_module.names.write_failed_format, {size.get()})) return nullptr;
            return RaiseLastWindowsError();
        }
        if (returned_length < 2) return PyList_New(0);
        PyRef old_size(ByteCount(buffer_length));
        PyRef new_size(ByteCount(returned_length));
        if (!old_size || !new_size ||
            !Log(g_module.names.debug, g_module.names.growth_format, {old_size.get(), new_size.get()})) {
            return nullptr;
        }
        buffer.Release();
        buffer_length = returned_length;
        if (!buffer.Allocate(buffer_length)) return nullptr;
    }
    // A system that reports more than it was given room for is not believed.
    const size_t length = returned_length < buffer_length ? returned_length : buffer_length;
    return SplitPackedPaths(buffer.get(), length);
}

// ---------------------------------------------------------------------------
// Volume information.

// The file-system name's encoder: the Windows ANSI code page ("mbcs" where
// the host has it, Western Windows' cp1252 elsewhere), looked up once.
PyObject *FileSystemNameEncoder() {
    static PyObject *encoder = nullptr;  // lives as long as the process
    if (!encoder) {
        encoder = PyCodec_Encoder("mbcs");
        if (!encoder && PyErr_ExceptionMatches(PyExc_LookupError)) {
            PyErr_Clear();
            encoder = PyCodec_Encoder("cp1252");
        }
    }
    return encoder;
}

PyObject *EncodeFileSystemName(PyObject *name) {
    PyObject *encoder = FileSystemNameEncoder();
    if (!encoder) return nullptr;
    PyRef encoded(PyObject_CallFunctionObjArgs(encoder, name, g_module.names.strict, nullptr));
    if (!encoded) return nullptr;
    if (!PyTuple_Check(encoded.get()) || PyTuple_GET_SIZE(encoded.get()) != 2 ||
        !PyString_Check(PyTuple_GET_ITEM(encoded.get(), 0))) {
        PyErr_SetString(PyExc_TypeError, "encoder did not return a string object");
        return nullptr;
    }
    return PyRef::Borrow(PyTuple_GET_ITEM(encoded.get(), 0)).release();
}

// What both information calls fill in.
struct VolumeInformationBuffers {
    WCHAR label[kNameBufferLength] = {0};
    DWORD serial_number = 0;
    DWORD component_length = 0;
    DWORD flags = 0;
    WCHAR filesystem[kNameBufferLength] = {0};
};

PyObject *VolumeInformationTuple(const VolumeInformationBuffers &information) {
    PyRef label(UnicodeFromNameBuffer(information.label));
    PyRef serial_number(PyLong_FromUnsignedLong(information.serial_number));
    PyRef component_length(PyLong_FromUnsignedLong(information.component_length));
    PyRef flags(PyLong_FromUnsignedLong(information.flags));
    if (!label || !serial_number || !component_length || !flags) return nullptr;
    PyRef filesystem_text(UnicodeFromNameBuffer(information.filesystem));
    if (!filesystem_text) return nullptr;
    PyRef filesystem(EncodeFileSystemName(filesystem_text.get()));
    if (!filesystem) return nullptr;
    return PyTuple_Pack(5, label.get(), serial_number.get(), component_length.get(), flags.get(), filesystem.get());
}

PyObject *VolumeInformationBody(PyObject *path) {
    if (path == Py_None) return RaiseExpectedType("unicode", "None");
    PyRef root = PyRef::Borrow(path);
    const Py_ssize_t length = PyUnicode_GET_SIZE(path);
    if (length == 0 || PyUnicode_AS_UNICODE(path)[length - 1] != '\\') {
        root.reset(PyUnicode_Concat(path, g_module.names.backslash));
        if (!root) return nullptr;
    }
    WideText wide_root;
    if (!wide_root.Assign(root.get())) return nullptr;
    VolumeInformationBuffers information;
    BOOL succeeded;
    {
        CriticalErrorDialogsOff dialogs_off;
        succeeded = GetVolumeInformationW(wide_root.get(), information.label, kNameBufferLength,
                                          &information.serial_number, &information.component_length,
                                          &information.flags, information.filesystem, kNameBufferLength);
    }
    if (!succeeded) return RaiseLastWindowsError();
    return VolumeInformationTuple(information);
}

PyObject *VolumeInformationByHandleBody(int64_t handle) {
    VolumeInformationBuffers information;
    // A Windows handle is pointer-sized: a 32-bit host passes the low bits.
    const HANDLE windows_handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
    if (!GetVolumeInformationByHandleW(windows_handle, information.label, kNameBufferLength, &information.serial_number,
                                       &information.component_length, &information.flags, information.filesystem,
                                       kNameBufferLength)) {
        return RaiseLastWindowsError();
    }
    return VolumeInformationTuple(information);
}

PyObject *RaiseWrongConversionResult(const char *kind, PyObject *result) {
    PyErr_Format(g_module.type_error, "__%.4s__ returned non-%.4s (type %.200s)", kind, kind, Py_TYPE(result)->tp_name);
    return nullptr;
}

}  // namespace

bool HandleFromObject(PyObject *object, int64_t *handle) {
    PyRef number;
    if (PyInt_Check(object) || PyLong_Check(object)) {
        number = PyRef::Borrow(object);
    } else {
        PyNumberMethods *methods = Py_TYPE(object)->tp_as_number;
        // Old-style instances have every slot: what counts is the method.
        const bool is_instance = PyInstance_Check(object);
        const char *kind = nullptr;
        if (methods && methods->nb_int && (!is_instance || PyObject_HasAttrString(object, "__int__"))) {
            kind = "int";
            number.reset(methods->nb_int(object));
        } else if (methods && methods->nb_long && (!is_instance || PyObject_HasAttrString(object, "__long__"))) {
            kind = "long";
            number.reset(methods->nb_long(object));
        }
        if (!number) {
            if (!kind || !PyErr_Occurred()) PyErr_SetString(g_module.type_error, "an integer is required");
            return false;
        }
        if (!PyInt_Check(number.get()) && !PyLong_Check(number.get())) {
            RaiseWrongConversionResult(kind, number.get());
            return false;
        }
    }
    if (PyInt_Check(number.get())) {
        *handle = PyInt_AS_LONG(number.get());
        return true;
    }
    const long long value = PyLong_AsLongLong(number.get());
    if (value == -1 && PyErr_Occurred()) return false;
    *handle = value;
    return true;
}

CriticalErrorDialogsOff::CriticalErrorDialogsOff() : saved_mode_(GetThreadErrorMode()) {
    const DWORD quiet = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
    changed_ = SetThreadErrorMode(static_cast<DWORD>(saved_mode_) | quiet, nullptr) != 0;
}

CriticalErrorDialogsOff::~CriticalErrorDialogsOff() {
    if (!changed_) return;
    const DWORD error = GetLastError();  // the query's, read by the caller after this
    SetThreadErrorMode(static_cast<DWORD>(saved_mode_), nullptr);
    SetLastError(error);
}

PyObject *volumes_ListVolumeNames(PyObject *, PyObject *) {
    if (!CheckLoaded()) return nullptr;
    return WithTraceback(ListVolumeNamesBody(), kListVolumeNamesName, __LINE__);
}

PyObject *QueryVolumePathNames(PyObject *guid_path) {
    return WithTraceback(PathNamesBody(guid_path), kGetVolumePathNamesName, __LINE__);
}

PyObject *volumes_GetVolumePathNamesForVolumeName(PyObject *, PyObject *guid_path) {
    if (!CheckLoaded()) return nullptr;
    if (!CheckTextArgument(guid_path, "guid_path", TextType::Basestring)) return nullptr;
    return QueryVolumePathNames(guid_path);
}

PyObject *QueryVolumeInformation(PyObject *path) {
    return WithTraceback(VolumeInformationBody(path), kGetVolumeInformationName, __LINE__);
}

PyObject *volumes_GetVolumeInformation(PyObject *, PyObject *path) {
    if (!CheckLoaded()) return nullptr;
    if (!CheckTextArgument(path, "path", TextType::Unicode)) return nullptr;
    return QueryVolumeInformation(path);
}

PyObject *QueryVolumeInformationByHandle(int64_t handle) {
    return WithTraceback(VolumeInformationByHandleBody(handle), kGetVolumeInformationByHandleName, __LINE__);
}

PyObject *volumes_GetVolumeInformationByHandle(PyObject *, PyObject *handle) {
    if (!CheckLoaded()) return nullptr;
    int64_t converted;
    if (!HandleFromObject(handle, &converted)) return AddTraceback(kGetVolumeInformationByHandleName, __LINE__);
    return QueryVolumeInformationByHandle(converted);
}
