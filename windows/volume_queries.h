// The Windows volume queries: volume enumeration, mount paths and volume
// information, as module functions and as the internal entries through which
// the cache service calls them without a namespace lookup.
#ifndef WINDOWS_VOLUME_QUERIES_H
#define WINDOWS_VOLUME_QUERIES_H

#include <Python.h>

#include <cstdint>

// Module functions (host calling conventions METH_NOARGS and METH_O).
PyObject *volumes_ListVolumeNames(PyObject *module, PyObject *unused);
PyObject *volumes_GetVolumePathNamesForVolumeName(PyObject *module, PyObject *guid_path);
PyObject *volumes_GetVolumeInformation(PyObject *module, PyObject *path);
PyObject *volumes_GetVolumeInformationByHandle(PyObject *module, PyObject *handle);

extern const char kListVolumeNamesDoc[];
extern const char kGetVolumePathNamesForVolumeNameDoc[];
extern const char kGetVolumeInformationDoc[];
extern const char kGetVolumeInformationByHandleDoc[];

// Internal entries: the argument is already known to be of an accepted type
// (str, unicode or None; unicode or None; a converted handle).
PyObject *QueryVolumePathNames(PyObject *guid_path);
PyObject *QueryVolumeInformation(PyObject *path);
PyObject *QueryVolumeInformationByHandle(int64_t handle);

// While it lives, the calling thread's critical-error dialogs are off: a
// query of a drive without its medium (a card reader, an empty optical
// drive) fails at once instead of opening "There is no disk in the drive"
// and waiting on a person with the interpreter lock held, which would stop
// every thread of the application. The caller's mode comes back afterwards,
// and with it the last error that the query left.
class CriticalErrorDialogsOff {
public:
    CriticalErrorDialogsOff();
    ~CriticalErrorDialogsOff();
    CriticalErrorDialogsOff(const CriticalErrorDialogsOff &) = delete;
    CriticalErrorDialogsOff &operator=(const CriticalErrorDialogsOff &) = delete;

private:
    uint32_t saved_mode_;  // a DWORD
    bool changed_;
};

// The host's integer conversion of a handle value to a signed 64-bit
// integer; false with TypeError or OverflowError set.
bool HandleFromObject(PyObject *object, int64_t *handle);

#endif  // WINDOWS_VOLUME_QUERIES_H
