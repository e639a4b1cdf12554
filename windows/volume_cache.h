// The volume information cache: volume IDs, FAT detection and the service
// class VolumeInfo with its table refresh.
#ifndef WINDOWS_VOLUME_CACHE_H
#define WINDOWS_VOLUME_CACHE_H

#include <Python.h>

// Module functions (METH_O, METH_O, METH_VARARGS | METH_KEYWORDS).
PyObject *FindVolumeID(PyObject *module, PyObject *stat_result);
PyObject *VolumeIDFromSerialNumber(PyObject *module, PyObject *serial_number);
PyObject *IsFAT(PyObject *module, PyObject *args, PyObject *kwds);

extern const char kFindVolumeIDDoc[];
extern const char kIsFATDoc[];

// The class namespace of VolumeInfo: __module__, __qualname__, __doc__ and
// the methods, in the order the class body defines them. New reference.
PyObject *NewVolumeInfoNamespace();

#endif  // WINDOWS_VOLUME_CACHE_H
