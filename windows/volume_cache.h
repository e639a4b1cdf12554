// The volume information cache service: the class VolumeInfo and the
// refresh of its volume table.
#ifndef WINDOWS_VOLUME_CACHE_H
#define WINDOWS_VOLUME_CACHE_H

#include <Python.h>

// The class namespace of VolumeInfo: __module__, __qualname__, __doc__ and
// the methods, in the order the class body defines them. New reference.
PyObject *NewVolumeInfoNamespace();

#endif  // WINDOWS_VOLUME_CACHE_H
