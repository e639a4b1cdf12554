// Compiled into every Python module of a Windows build (link_python27 in
// windows-python.cmake): the Python headers must describe the target the
// module is compiled for, or the module would pass pointers and sizes of the
// wrong width to python27.dll. A 64-bit target without MS_WIN64 fails here.
#include <Python.h>

#include <cstddef>

static_assert(sizeof(void *) == SIZEOF_VOID_P,
              "the Python headers describe pointers of another width (a 64-bit target needs MS_WIN64)");
static_assert(sizeof(std::size_t) == SIZEOF_SIZE_T, "the Python headers describe size_t of another width");
static_assert(sizeof(Py_ssize_t) == sizeof(void *), "Py_ssize_t is not pointer-sized");
