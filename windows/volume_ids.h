// Volume IDs and FAT detection: the module functions FindVolumeID,
// _VolumeIDFromSerialNumber and IsFAT, and what the cache service shares
// with them.
#ifndef WINDOWS_VOLUME_IDS_H
#define WINDOWS_VOLUME_IDS_H

#include <Python.h>

// Module functions (METH_O, METH_O, METH_VARARGS | METH_KEYWORDS).
PyObject *volumes_FindVolumeID(PyObject *module, PyObject *stat_result);
PyObject *volumes_VolumeIDFromSerialNumber(PyObject *module, PyObject *serial_number);
PyObject *volumes_IsFAT(PyObject *module, PyObject *args, PyObject *kwds);

extern const char kFindVolumeIDDoc[];
extern const char kIsFATDoc[];

// _VolumeIDFromSerialNumber(serial_number) as the module namespace binds it
// now; new reference or null.
PyObject *VolumeIDFromNamespace(PyObject *serial_number);

// mapping.get(key); new reference or null.
PyObject *MappingGet(PyObject *mapping, PyObject *key);

#endif  // WINDOWS_VOLUME_IDS_H
