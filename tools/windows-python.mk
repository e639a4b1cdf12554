# Python 2.7 for Windows, cross-compiled with MinGW-w64 without configure
# (tools/build-windows-python.sh prepares the tree and runs this makefile).
# The core is the source list of PCbuild/pythoncore.vcxproj, with PC/config.c
# and PC/pyconfig.h, as the official build has it.
#   TREE    the source tree (adjusted for MinGW)
#   OUT     where objects go
#   PREFIX  the installation: python27.dll, its import library and
#           module-definition file, python.exe, DLLs/ and Lib/
#   TARGET  x86_64 or i686
#   PROGRAMS  yes: python.exe and the extension modules too; no: the DLL only
TARGET   ?= x86_64
PROGRAMS ?= yes
# What it makes is made again when this makefile changes (the objects, and
# with the DLL everything linked against it).
THIS_MAKEFILE := $(lastword $(MAKEFILE_LIST))
CROSS    := $(TARGET)-w64-mingw32-
CC       := $(CROSS)gcc-win32
WINDRES  := $(CROSS)windres

# MS_WIN64: PC/pyconfig.h sets it for the Microsoft compiler only; without
# it a 64-bit build has 32-bit Py_ssize_t and exports Py_InitModule4, not
# Py_InitModule4_64. A 32-bit MinGW time_t is 64 bits unless told otherwise,
# and PC/pyconfig.h says 4 bytes for GCC.
ifeq ($(TARGET),x86_64)
TARGET_FLAGS := -DMS_WIN64
else
TARGET_FLAGS := -D_USE_32BIT_TIME_T
endif
CPPFLAGS := -I$(TREE)/Include -I$(TREE)/PC $(TARGET_FLAGS)
CFLAGS   := -O2 -fno-strict-aliasing -fwrapv -w
CORE_FLAGS := -DPy_BUILD_CORE -DPy_ENABLE_SHARED -I$(TREE)/Python -I$(TREE)/Modules/zlib

CORE_SOURCES := $(shell grep -o 'ClCompile Include="[^"]*"' $(TREE)/PCbuild/pythoncore.vcxproj | \
    sed -e 's/ClCompile Include="\.\.\\//' -e 's/"$$//' -e 's/\\/\//g')
CORE_OBJECTS := $(patsubst %.c,$(OUT)/core/%.o,$(CORE_SOURCES))
CORE_LIBRARIES := -lws2_32 -ladvapi32 -lshell32 -luser32 -lversion

# Extension modules a test run needs: <name> <sources> <libraries>.
EXTENSIONS := unicodedata select _socket
unicodedata_SOURCES := Modules/unicodedata.c
select_SOURCES      := Modules/selectmodule.c
select_LIBRARIES    := -lws2_32
_socket_SOURCES     := Modules/socketmodule.c
_socket_LIBRARIES   := -lws2_32
# ctypes (the application's clock reads QueryPerformanceCounter through it),
# on the libffi bundled in the source (its ffi_type_* come from cfield.c),
# with libffi's own Windows code for the target: win64.S, or win32.S with the
# leading underscore of 32-bit Windows' C symbols (SYMBOL_UNDERSCORE), and
# the 12-byte long double of 32-bit MinGW.
EXTENSIONS += _ctypes
LIBFFI := Modules/_ctypes/libffi
ifeq ($(TARGET),x86_64)
LIBFFI_TARGET := X86_WIN64
LIBFFI_ASSEMBLY := x86/win64.S
LIBFFI_CONFIG := \#define SIZEOF_LONG_DOUBLE 16\n
else
LIBFFI_TARGET := X86_WIN32
LIBFFI_ASSEMBLY := x86/win32.S
LIBFFI_CONFIG := \#define SIZEOF_LONG_DOUBLE 12\n\#define SYMBOL_UNDERSCORE 1\n
endif
_ctypes_SOURCES := $(addprefix Modules/_ctypes/,_ctypes.c callbacks.c callproc.c cfield.c malloc_closure.c \
    stgdict.c) $(addprefix $(LIBFFI)/src/,prep_cif.c x86/ffi.c $(LIBFFI_ASSEMBLY))
_ctypes_FLAGS := -I$(OUT)/libffi -I$(TREE)/$(LIBFFI)/include -I$(TREE)/$(LIBFFI)/src/x86
_ctypes_HEADERS := $(OUT)/libffi/ffi.h $(OUT)/libffi/fficonfig.h
_ctypes_LIBRARIES := -lole32 -loleaut32 -luuid

DLL_OUTPUTS := $(PREFIX)/python27.dll $(PREFIX)/libs/libpython27.dll.a
ifeq ($(PROGRAMS),yes)
ALL := $(DLL_OUTPUTS) $(PREFIX)/python.exe $(patsubst %,$(PREFIX)/DLLs/%.pyd,$(EXTENSIONS)) $(PREFIX)/Lib/os.py
else
ALL := $(DLL_OUTPUTS)
endif

all: $(ALL)

$(OUT)/core/%.o: $(TREE)/%.c $(THIS_MAKEFILE)
	@mkdir -p $(dir $@)
	@echo "  CC $*.c"
	@$(CC) $(CFLAGS) $(CPPFLAGS) $(CORE_FLAGS) -c $< -o $@

# The version string that sys.winver reads, and the DLL's version resource.
$(OUT)/pythonnt_rc.h: $(THIS_MAKEFILE)
	@mkdir -p $(dir $@)
	printf '#define FIELD3 18150\n#define MS_DLL_ID "2.7"\n#define PYTHON_DLL_NAME "python27.dll"\n' >$@

$(OUT)/python_nt.o: $(TREE)/PC/python_nt.rc $(OUT)/pythonnt_rc.h
	$(WINDRES) -I$(OUT) -I$(TREE)/Include -I$(TREE)/PC $(TARGET_FLAGS) -i $< -o $@

# The import library is the DLL's own export table: what a module may link.
$(PREFIX)/python27.dll $(PREFIX)/libs/libpython27.dll.a &: $(CORE_OBJECTS) $(OUT)/python_nt.o
	@mkdir -p $(PREFIX)/libs
	@echo "  LD python27.dll"
	@$(CC) -shared -static-libgcc -o $(PREFIX)/python27.dll $^ \
	    -Wl,--out-implib,$(PREFIX)/libs/libpython27.dll.a \
	    -Wl,--output-def,$(PREFIX)/libs/python27.def $(CORE_LIBRARIES)

$(PREFIX)/python.exe: $(TREE)/Modules/python.c $(PREFIX)/libs/libpython27.dll.a
	$(CC) $(CFLAGS) $(CPPFLAGS) -static-libgcc -o $@ $< $(PREFIX)/libs/libpython27.dll.a

define extension
$(PREFIX)/DLLs/$(1).pyd: $$(addprefix $$(TREE)/,$$($(1)_SOURCES)) $$(PREFIX)/libs/libpython27.dll.a | $$($(1)_HEADERS)
	@mkdir -p $$(dir $$@)
	@echo "  LD $(1).pyd"
	@$$(CC) $$(CFLAGS) $$(CPPFLAGS) $$($(1)_FLAGS) -shared -static-libgcc -o $$@ $$^ $$($(1)_LIBRARIES)
endef
$(foreach name,$(EXTENSIONS),$(eval $(call extension,$(name))))

# What libffi's configure would make for the target.
$(OUT)/libffi/ffi.h: $(TREE)/$(LIBFFI)/include/ffi.h.in $(THIS_MAKEFILE)
	@mkdir -p $(dir $@)
	sed -e 's/@TARGET@/$(LIBFFI_TARGET)/' -e 's/@HAVE_LONG_DOUBLE@/0/' -e 's/@HAVE_LONG_DOUBLE_VARIANT@/0/' \
	    -e 's/@FFI_EXEC_TRAMPOLINE_TABLE@/0/' -e 's/@VERSION@/3.1/' $< >$@
$(OUT)/libffi/fficonfig.h: $(THIS_MAKEFILE)
	@mkdir -p $(dir $@)
	printf '#define STDC_HEADERS 1\n#define HAVE_MEMCPY 1\n#define SIZEOF_DOUBLE 8\n$(LIBFFI_CONFIG)#ifdef LIBFFI_ASM\n#define FFI_HIDDEN(name)\n#else\n#define FFI_HIDDEN\n#endif\n' >$@

# The standard library, found from Lib\os.py beside python.exe.
$(PREFIX)/Lib/os.py: $(TREE)/Lib/os.py
	rm -rf $(PREFIX)/Lib
	cp -r $(TREE)/Lib $(PREFIX)/Lib
	find $(PREFIX)/Lib -name '*.pyc' -delete

.PHONY: all
