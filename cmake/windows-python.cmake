# Python 2.7 for a Windows build: the Windows Python that
# tools/build-windows-python.sh builds from source (WINDOWS_PYTHON, its
# installation), compiled against with the headers of its source tree
# (Include/ and PC/pyconfig.h) and linked against the import library made
# from python27.dll's own exports: a module that refers to anything the
# interpreter does not export fails to link.

set(PYTHON_SOURCE_TREE "" CACHE PATH "the Python 2.7 source tree whose Include/ and PC/ a Windows build compiles against")
if(NOT EXISTS "${PYTHON_SOURCE_TREE}/PC/pyconfig.h")
    message(FATAL_ERROR "PYTHON_SOURCE_TREE must name a Python 2.7 source tree")
endif()
set(WINDOWS_PYTHON "" CACHE PATH "the Windows Python 2.7 built for this target: python27.dll and libs/libpython27.dll.a")
set(python27_import_library "${WINDOWS_PYTHON}/libs/libpython27.dll.a")
if(NOT EXISTS "${python27_import_library}")
    message(FATAL_ERROR "WINDOWS_PYTHON must name a Windows Python build with ${python27_import_library}")
endif()
set(Python2_INCLUDE_DIRS "${PYTHON_SOURCE_TREE}/Include" "${PYTHON_SOURCE_TREE}/PC")
set(PYTHON_MODULE_SUFFIX ".pyd")

# What the Python headers expect of a 64-bit target: PC/pyconfig.h sets
# MS_WIN64 for the Microsoft compiler only, and without it describes a 32-bit
# ABI (4-byte Py_ssize_t, Py_InitModule4 instead of Py_InitModule4_64).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(python27_definitions MS_WIN64)
else()
    set(python27_definitions "")
endif()

# The interpreter itself: the 64-bit one runs here under wine64; the 32-bit
# one needs Wine's 32-bit loader, a 32-bit Linux program, which a kernel
# without IA-32 emulation cannot run, so it runs, on every host alike, in the
# emulated machine of tools/win32-vm/ (WIN32_MACHINE, the folder that
# machine.sh and prefix.sh made), in that machine's own Wine prefix.
# Python2_EXECUTABLE is a launcher of it (tools/winpython-run.sh), whose
# Windows PATH holds lib/ (the stand-in's DLL); the suite runs with it.
set(WINDOWS_PYTHON_RUNS FALSE)
set(WINDOWS_PYTHON_IN_MACHINE FALSE)
set(WIN32_MACHINE "" CACHE PATH "the emulated machine that runs 32-bit Windows programs (tools/win32-vm/)")
if(EXISTS "${WINDOWS_PYTHON}/python.exe")
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(WINDOWS_PYTHON_RUNS TRUE)
        set(WINE_PREFIX "'${CMAKE_BINARY_DIR}/wine-prefix'")
        set(launcher_comment "The Windows Python 2.7 under wine64.")
    elseif(WIN32_MACHINE)
        set(WINDOWS_PYTHON_IN_MACHINE TRUE)
        set(WINE_PREFIX "\"\${WINEPREFIX:?the emulated machine's prefix}\"")
        set(launcher_comment "The 32-bit Windows Python 2.7 under 32-bit Wine, in the emulated machine.")
    endif()
endif()
if(WINDOWS_PYTHON_RUNS OR WINDOWS_PYTHON_IN_MACHINE)
    set(Python2_EXECUTABLE "${CMAKE_BINARY_DIR}/winpython")
    file(WRITE "${Python2_EXECUTABLE}" "#!/bin/sh\n# ${launcher_comment}\n"
        "WINEPREFIX=${WINE_PREFIX} DLL_PATH='${CMAKE_BINARY_DIR}/lib' \\\n"
        "    exec '${PROJECT_SOURCE_DIR}/tools/winpython-run.sh' '${WINDOWS_PYTHON}/python.exe' \"$@\"\n")
    file(CHMOD "${Python2_EXECUTABLE}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
        WORLD_READ WORLD_EXECUTE)
endif()

# What ships: the modules of a Windows build on kernel32 (not those of the
# Windows Python leg, which link the stand-in's DLL) are stripped once
# linked, and their debug information is kept beside them in <module>.debug,
# which the module's .gnu_debuglink names with its CRC: where a debugger
# (gdb, or objdump --dwarf=follow-links) looks for it.
if(WINDOWS_STANDIN)
    set(windows_modules_ship OFF)
else()
    set(windows_modules_ship ON)
endif()
# A test that runs COMMAND in the emulated machine (tools/win32-vm/run.sh),
# with the files and folders TAKE (absolute) carried in at the same paths,
# the Windows Python and the project's tools with them, in the machine's
# Wine prefix; ENVIRONMENT (NAME=VALUE...) is the command's there. TIMEOUT
# is the command's limit in the machine: the machine as a whole and CTest
# get more.
function(add_machine_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "TAKE;ENVIRONMENT;COMMAND" ${ARGN})
    set(take "")
    foreach(path "${WINDOWS_PYTHON}" "${PROJECT_SOURCE_DIR}/tools" ${ARG_TAKE})
        list(APPEND take --take "${path}")
    endforeach()
    add_test(NAME ${name}
        COMMAND "${PROJECT_SOURCE_DIR}/tools/win32-vm/run.sh" "${WIN32_MACHINE}"
            --prefix "${WIN32_MACHINE}/wine-prefix.ext4" --timeout ${ARG_TIMEOUT} ${take}
            -- env WINEDEBUG=-all ${ARG_ENVIRONMENT} ${ARG_COMMAND})
    math(EXPR ctest_timeout "${ARG_TIMEOUT} + 300")
    set_tests_properties(${name} PROPERTIES LABELS "win32;${TEST_LABELS}" TIMEOUT ${ctest_timeout})
endfunction()

# The version resource of each module (version.rc.in), compiled by MinGW's windres.
enable_language(RC)

# Links `target` against python27.dll, compiles into it the check that the
# headers describe this target's ABI (python27-abi-check.cpp), and gives it a
# version resource with `description`. The module shares no state of the C
# runtime with its host (CRT_CHECK in check-windows-module.cmake): it is
# built without C++ exceptions, whose runtime (libstdc++'s unwinder, its
# emergency pool, its verbose terminate handler, libgcc's emulated TLS)
# brings in errno, the locale and stderr; and without pseudo-relocations
# (windows-start-up.cpp), whose relocator reports on stderr.
set(python27_start_up "${PROJECT_SOURCE_DIR}/cmake/windows-start-up.cpp")
set(python27_link_options -Wl,--disable-auto-import)
function(link_python27 target description)
    get_target_property(module_name ${target} OUTPUT_NAME)
    set(module_description "${description}")
    configure_file("${PROJECT_SOURCE_DIR}/cmake/version.rc.in" "${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc" @ONLY)
    target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/cmake/python27-abi-check.cpp"
        "${python27_start_up}" "${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc")
    target_compile_definitions(${target} PRIVATE ${python27_definitions})
    target_compile_options(${target} PRIVATE -fno-exceptions)
    target_link_libraries(${target} PRIVATE "${python27_import_library}")
    # No link time in the PE header: the same sources give the same file (and
    # zip). objcopy and strip write their own time there unless SOURCE_DATE_EPOCH
    # gives one: the zip's date.
    target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp ${python27_link_options})
    set_property(GLOBAL APPEND PROPERTY WINDOWS_PYTHON_MODULES ${target})
    if(windows_modules_ship)
        set(module "$<TARGET_FILE:${target}>")
        set(dated "${CMAKE_COMMAND}" -E env SOURCE_DATE_EPOCH=946684800)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${dated} "${CMAKE_OBJCOPY}" --only-keep-debug "${module}" "${module}.debug"
            COMMAND ${dated} "${CMAKE_STRIP}" --strip-unneeded "${module}"
            COMMAND ${dated} "${CMAKE_OBJCOPY}" "--add-gnu-debuglink=${module}.debug" "${module}"
            VERBATIM)
    endif()
endfunction()

# The download of what ships (make dist): for each width, a zip of the
# stripped module, its debug information, a text of where it goes and what
# it runs on (windows/dist-README.txt.in), and their SHA256SUMS. The
# modules' smoke tests run it from WINDOWS_DIST_TREE: the package tree with
# the module taken from the zip (unpack-windows-dist.cmake).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(dist_platform win_amd64)
    set(dist_width 64-bit)
else()
    set(dist_platform win32)
    set(dist_width 32-bit)
endif()
set(WINDOWS_DIST_ZIP "${CMAKE_BINARY_DIR}/dist/windows-volumes-${PROJECT_VERSION}-${dist_platform}.zip")
set(WINDOWS_DIST_TREE "${CMAKE_BINARY_DIR}/python-from-dist")
function(add_windows_dist target)
    if(NOT windows_modules_ship)
        return()
    endif()
    add_custom_command(OUTPUT "${WINDOWS_DIST_ZIP}"
        COMMAND ${CMAKE_COMMAND} "-DMODULE=$<TARGET_FILE:${target}>" "-DVERSION=${PROJECT_VERSION}"
            "-DWIDTH=${dist_width}" "-DTEXT=${PROJECT_SOURCE_DIR}/windows/dist-README.txt.in"
            "-DOUTPUT=${WINDOWS_DIST_ZIP}" -P "${PROJECT_SOURCE_DIR}/cmake/windows-dist.cmake"
        DEPENDS ${target} "${PROJECT_SOURCE_DIR}/windows/dist-README.txt.in"
            "${PROJECT_SOURCE_DIR}/cmake/windows-dist.cmake"
        VERBATIM)
    add_custom_target(${target}_dist ALL DEPENDS "${WINDOWS_DIST_ZIP}")
endfunction()

# Checks of every module built with link_python27, defined where testing is
# enabled: see check-windows-module.cmake. KERNEL32_DLL: the DLL that stands
# for kernel32 (kernel32.dll, or the stand-in's DLL in the Windows Python leg);
# SHIPPED: the module is stripped, its debug information beside it, and it
# imports from the C runtime nothing whose state the host shares (CRT_CHECK).
function(add_windows_module_tests)
    get_property(modules GLOBAL PROPERTY WINDOWS_PYTHON_MODULES)
    set(standin "")
    if(TARGET winstub)
        set(standin "$<TARGET_FILE:winstub>")
    endif()
    foreach(target ${modules})
        get_target_property(name ${target} OUTPUT_NAME)
        add_test(NAME ${target}_dll
            COMMAND ${CMAKE_COMMAND} "-DOBJDUMP=${CMAKE_OBJDUMP}" "-DMODULE=$<TARGET_FILE:${target}>"
                "-DNAME=${name}" "-DKERNEL32_DLL=${WINDOWS_KERNEL32_DLL}" "-DSHIPPED=${windows_modules_ship}"
                "-DCRT_CHECK=${windows_modules_ship}"
                "-DSTANDIN=${standin}" "-DEXPORT_LISTS=${PROJECT_SOURCE_DIR}/windows/python27-exports"
                "-DWIDTH=$<IF:$<EQUAL:${CMAKE_SIZEOF_VOID_P},8>,amd64,win32>"
                "-DVERSION=${PROJECT_VERSION}"
                -P "${PROJECT_SOURCE_DIR}/cmake/check-windows-module.cmake")
        set_tests_properties(${target}_dll PROPERTIES LABELS "windows_dll;${TEST_LABELS}")
    endforeach()
    # The import library is the interpreter's own: see check-python27-exports.cmake.
    add_test(NAME python27_exports
        COMMAND ${CMAKE_COMMAND} "-DCC=${CMAKE_C_COMPILER}" "-DLIBRARY=${python27_import_library}"
            "-DINCLUDES=${Python2_INCLUDE_DIRS}" "-DDEFINITIONS=${python27_definitions}"
            "-DWORK=${CMAKE_CURRENT_BINARY_DIR}/python27-exports" -P "${PROJECT_SOURCE_DIR}/cmake/check-python27-exports.cmake")
    set_tests_properties(python27_exports PROPERTIES LABELS "windows_dll;${TEST_LABELS}")
    # The C runtime check itself, on small modules that import what it must refuse.
    add_test(NAME crt_check_cases
        COMMAND ${CMAKE_COMMAND} "-DCC=${CMAKE_C_COMPILER}" "-DOBJDUMP=${CMAKE_OBJDUMP}"
            "-DLIBRARY=${python27_import_library}" "-DINCLUDES=${Python2_INCLUDE_DIRS}"
            "-DDEFINITIONS=${python27_definitions}" "-DSTART_UP=${python27_start_up}"
            "-DLINK_OPTIONS=${python27_link_options}" "-DCHECK=${PROJECT_SOURCE_DIR}/cmake/check-windows-module.cmake"
            "-DWORK=${CMAKE_CURRENT_BINARY_DIR}/crt-check-cases" -P "${PROJECT_SOURCE_DIR}/cmake/crt-check-cases.cmake")
    set_tests_properties(crt_check_cases PROPERTIES LABELS "windows_dll;${TEST_LABELS}")
    if(windows_modules_ship)
        add_test(NAME dist_package
            COMMAND ${CMAKE_COMMAND} "-DZIP=${WINDOWS_DIST_ZIP}" "-DPACKAGE_DIR=${PACKAGE_DIR}"
                "-DOUTPUT=${WINDOWS_DIST_TREE}" -P "${PROJECT_SOURCE_DIR}/cmake/unpack-windows-dist.cmake")
        set_tests_properties(dist_package PROPERTIES FIXTURES_SETUP dist_package LABELS "windows_dll;${TEST_LABELS}")
    endif()
endfunction()
