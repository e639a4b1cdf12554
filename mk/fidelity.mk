# Fidelity legs (included by the Makefile): the module where it really runs,
# a 32-bit Windows Python 2.7 with UTF-16 unicode, 32-bit C longs and the
# real kernel32, approached from this machine.
#   make test-ucs2         the whole suite on CPython 2.7 built with UTF-16
#                          unicode from Debian's source package (build/python2.7-ucs2/)
#   make test-i386         the whole suite on 32-bit (i386) Python 2.7
#   make test-windows      the module and windows.winwrap built as Windows DLLs
#                          (.pyd, 32- and 64-bit) against kernel32 and python27.dll,
#                          checked, and the conformance test run under Wine
#   make dist              the downloads: dist/windows-volumes-<version>-win32.zip
#                          and -win_amd64.zip
#   make test-conformance  the conformance test of the Windows functions against
#                          the stand-in and against Wine's kernel32
#   make test-winpython    the whole suite inside a Windows Python 2.7 built from
#                          Debian's source (build/python2.7-win64/) under wine64,
#                          on the stand-in's DLL; the module on Wine's kernel32
#   make test-win32        the same in the 32-bit Windows Python (build/python2.7-win32/)
#                          under 32-bit Wine, in an emulated machine (tools/win32-vm/),
#                          and the 32-bit conformance test there
# docs/fidelity.md says how long each leg takes and how to run it by hand.

PYTHON_SOURCE      := $(BUILD)/python2.7-source
PYTHON_SOURCE_TREE := $(PYTHON_SOURCE)/tree
UCS2_PREFIX        := $(BUILD)/python2.7-ucs2
UCS2_PYTHON        := $(UCS2_PREFIX)/bin/python2.7
BUILD_UCS2         := $(BUILD)/cmake-ucs2
I386_PYTHON        := $(BUILD)/i386/python2.7
BUILD_I386         := $(BUILD)/cmake-i386
BUILD_WINDOWS      := $(BUILD)/cmake-windows
BUILD_WIN64        := $(BUILD)/cmake-win64
BUILD_WINPYTHON    := $(BUILD)/cmake-winpython
BUILD_WINPYTHON32  := $(BUILD)/cmake-winpython32
# The emulated machine that runs 32-bit Windows programs, and its Wine prefix.
WIN32_MACHINE      := $(BUILD)/win32-vm
# The Windows Pythons: 64-bit (runs under wine64) and 32-bit (runs under
# 32-bit Wine in the emulated machine).
WINPYTHON64        := $(BUILD)/python2.7-win64
WINPYTHON32        := $(BUILD)/python2.7-win32
WINPYTHON64_BUILT  := $(WINPYTHON64)/.complete-x86_64-yes
WINPYTHON32_BUILT  := $(WINPYTHON32)/.complete-i686-yes

.PHONY: setup-source setup-i386 setup-windows setup-win32 ucs2 test-ucs2 i386 test-i386 windows dist test-windows \
    test-conformance winpython test-winpython win32-machine win32 test-win32

setup-source setup-i386 setup-windows setup-win32: setup-%:
	@bash tools/setup-fidelity.sh $*

$(PYTHON_SOURCE_TREE)/.patched: | setup-source
	bash tools/python-source.sh $(PYTHON_SOURCE)

# --- UTF-16 unicode -------------------------------------------------------

# Built once: a later run finds it in place.
$(UCS2_PYTHON): | $(PYTHON_SOURCE_TREE)/.patched
	JOBS=$(JOBS) bash tools/build-python-ucs2.sh $(PYTHON_SOURCE_TREE) $(BUILD)/python2.7-ucs2-build $(UCS2_PREFIX)

$(BUILD_UCS2)/build.ninja: | setup $(UCS2_PYTHON)
	$(CONFIGURE) -S . -B $(BUILD_UCS2) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DPython2_EXECUTABLE=$(UCS2_PYTHON) -DPACKAGE_DIR=$(BUILD)/python-ucs2 -DTEST_LABELS=ucs2

ucs2: setup $(BUILD_UCS2)/build.ninja
	cmake --build $(BUILD_UCS2) -j $(JOBS)

test-ucs2: ucs2
	cd $(BUILD_UCS2) && ctest --output-on-failure -j $(JOBS)

# --- 32-bit host ----------------------------------------------------------

$(I386_PYTHON): tools/python-launcher.c tools/build-i386-python.sh | setup-i386
	bash tools/build-i386-python.sh $(dir $@)

$(BUILD_I386)/build.ninja: | setup $(I386_PYTHON)
	$(CONFIGURE) -S . -B $(BUILD_I386) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i386-linux-gnu.cmake \
	    -DCMAKE_CROSSCOMPILING_EMULATOR=$(BUILD)/i386/run-i386 \
	    -DPython2_EXECUTABLE=$(I386_PYTHON) -DPACKAGE_DIR=$(BUILD)/python-i386 -DTEST_LABELS=i386

i386: setup setup-i386 $(BUILD_I386)/build.ninja
	cmake --build $(BUILD_I386) -j $(JOBS)

# Where the i386 interpreter runs under QEMU's user-mode emulation (its
# python2.7 is then a script, not a link), what that emulation cannot do is
# left out, and said so: a test program that executes itself again (a
# GoogleTest death test in the threadsafe style: the kernel cannot run the
# 32-bit program), and statx's mount ID, which QEMU 7.2 passes on as 0 while
# the stand-in's machine of this Linux host relies on it (test_this_machine);
# and the suites of real file systems, whose mount tools and FUSE drivers are
# 64-bit programs that the emulated interpreter cannot start, as it cannot
# start the stand-in's own helper program (test_real_file_systems,
# test_slow_query_helper).
I386_EMULATED_ENVIRONMENT := GTEST_FILTER='-*DeathTest.*'
I386_EMULATED_EXCLUDED    := ^(test_this_machine|test_real_file_systems|test_slow_query_helper)$$

test-i386: i386
	cd $(BUILD_I386) && if [ -L $(I386_PYTHON) ]; then \
	    ctest --output-on-failure -j $(JOBS); \
	else \
	    echo "i386 under QEMU user-mode emulation: without death tests and $(I386_EMULATED_EXCLUDED)"; \
	    $(I386_EMULATED_ENVIRONMENT) ctest --output-on-failure -j $(JOBS) -E '$(I386_EMULATED_EXCLUDED)'; \
	fi

# --- Windows --------------------------------------------------------------

# Built once from Debian's python2.7 source (the download of the UTF-16
# leg), without configure: a later run finds it in place, and a change of
# the scripts that build it builds it again (the stamp keeps their key).
$(WINPYTHON64_BUILT): tools/build-windows-python.sh tools/windows-python.mk | setup-windows $(PYTHON_SOURCE_TREE)/.patched
	JOBS=$(JOBS) bash tools/build-windows-python.sh $(PYTHON_SOURCE) $(BUILD)/python2.7-win64-build $(WINPYTHON64) x86_64 yes
$(WINPYTHON32_BUILT): tools/build-windows-python.sh tools/windows-python.mk | setup-windows $(PYTHON_SOURCE_TREE)/.patched
	JOBS=$(JOBS) bash tools/build-windows-python.sh $(PYTHON_SOURCE) $(BUILD)/python2.7-win32-build $(WINPYTHON32) i686 yes

# One build per Windows target: <build dir>, <toolchain file>, <package tree>,
# <Windows Python>, <its build directory>, <test labels>, <more options>. Each
# compiles against the headers of its interpreter's source tree and links
# against the import library of its python27.dll.
define windows_build
$(1)/build.ninja: $(4)/.complete-$(if $(findstring i686,$(2)),i686,x86_64)-yes | setup-windows
	$(CONFIGURE) -S . -B $(1) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/$(2) \
	    -DCMAKE_CROSSCOMPILING_EMULATOR=$(CURDIR)/tools/wine-run.sh \
	    -DPYTHON_SOURCE_TREE=$(5)/tree -DWINDOWS_PYTHON=$(4) \
	    -DPACKAGE_DIR=$(3) -DTEST_LABELS=$(6) $(7)
endef
$(eval $(call windows_build,$(BUILD_WINDOWS),mingw-w64-i686.cmake,$(BUILD)/python-windows,$(WINPYTHON32),$(BUILD)/python2.7-win32-build,windows,-DWIN32_MACHINE=$(WIN32_MACHINE)))
$(eval $(call windows_build,$(BUILD_WIN64),mingw-w64-x86_64.cmake,$(BUILD)/python-win64,$(WINPYTHON64),$(BUILD)/python2.7-win64-build,windows))
$(eval $(call windows_build,$(BUILD_WINPYTHON),mingw-w64-x86_64.cmake,$(BUILD)/python-winpython,$(WINPYTHON64),$(BUILD)/python2.7-win64-build,winpython,-DWINDOWS_STANDIN=ON))
$(eval $(call windows_build,$(BUILD_WINPYTHON32),mingw-w64-i686.cmake,$(BUILD)/python-winpython32,$(WINPYTHON32),$(BUILD)/python2.7-win32-build,win32,-DWINDOWS_STANDIN=ON -DWIN32_MACHINE=$(WIN32_MACHINE)))

windows: setup-windows $(BUILD_WINDOWS)/build.ninja $(BUILD_WIN64)/build.ninja
	cmake --build $(BUILD_WINDOWS) -j $(JOBS)
	cmake --build $(BUILD_WIN64) -j $(JOBS)

# The downloads, for each width dist/windows-volumes-<version>-win32.zip and
# -win_amd64.zip, as the Windows builds make them (windows-python.cmake).
dist: windows
	rm -rf $(CURDIR)/dist
	mkdir -p $(CURDIR)/dist
	cp $(BUILD_WINDOWS)/dist/windows-volumes-*.zip $(BUILD_WIN64)/dist/windows-volumes-*.zip $(CURDIR)/dist/
	ls -l $(CURDIR)/dist

# Wine's runs share one wineserver per prefix: one test at a time. The
# module's smoke test in the Windows Python belongs to test-winpython, and
# what runs in the emulated machine to test-win32.
test-windows: windows
	cd $(BUILD_WINDOWS) && ctest --output-on-failure -LE '^(winpython|win32)$$'
	cd $(BUILD_WIN64) && ctest --output-on-failure -LE '^winpython$$'

# --- The suite inside a Windows Python ------------------------------------

winpython: windows $(BUILD_WINPYTHON)/build.ninja
	cmake --build $(BUILD_WINPYTHON) -j $(JOBS)

# The suite on the stand-in's DLL (label winpython of build/cmake-winpython),
# then the module as it ships on Wine's own kernel32 (label winpython of
# build/cmake-win64).
test-winpython: winpython
	cd $(BUILD_WINPYTHON) && ctest --output-on-failure -j $(JOBS)
	cd $(BUILD_WIN64) && ctest --output-on-failure -L '^winpython$$'

# --- The 32-bit Windows Python, in an emulated machine ---------------------

# The machine (kernel, initramfs) and its Wine prefix, made once into
# build/win32-vm/ and made again when what they are made of changes.
win32-machine: setup-win32 setup-windows
	bash tools/win32-vm/machine.sh $(WIN32_MACHINE)
	bash tools/win32-vm/prefix.sh $(WIN32_MACHINE)

win32: setup-windows $(BUILD_WINDOWS)/build.ninja $(BUILD_WINPYTHON32)/build.ninja
	cmake --build $(BUILD_WINDOWS) -j $(JOBS)
	cmake --build $(BUILD_WINPYTHON32) -j $(JOBS)

# The suite on the stand-in's DLL, then the conformance test and the module
# as it ships on Wine's kernel32: label win32 of each build, with their
# output (each file's "Ran N tests" and verdict, the skipped tests and why).
# Each machine takes both cores: one test at a time.
test-win32: win32 win32-machine
	cd $(BUILD_WINPYTHON32) && ctest -V -L '^win32$$'
	cd $(BUILD_WINDOWS) && ctest -V -L '^win32$$'

# --- The stand-in against the real thing ----------------------------------

test-conformance: build windows
	cd $(BUILD)/cmake && ctest --output-on-failure -L '^conformance$$'
	cd $(BUILD_WINDOWS) && ctest --output-on-failure -L '^conformance$$'
	cd $(BUILD_WIN64) && ctest --output-on-failure -L '^conformance$$'
