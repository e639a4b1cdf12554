// Compiled into every Python module of a Windows build (link_python27 in
// windows-python.cmake), in place of MinGW's pseudo-relocator, which the
// DLL's start-up code (dllcrt2.o) calls: that one reports a relocation it
// cannot apply on the C runtime's stderr, a stream the host shares. The
// modules link with -Wl,--disable-auto-import, so every datum they import
// goes through its import table entry (the headers declare it dllimport)
// and there is no pseudo-relocation to apply: a reference that would need
// one fails the link instead.
extern "C" void _pei386_runtime_relocator(void) {}
