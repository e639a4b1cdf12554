# Python 2.7 for a Windows build: the headers of a Python 2.7 source tree
# (Include/ and PC/pyconfig.h), and python27.dll through an import library
# made for each module from the Python symbols that its objects import.

set(PYTHON_SOURCE_TREE "" CACHE PATH "the Python 2.7 source tree whose Include/ and PC/ a Windows build compiles against")
if(NOT EXISTS "${PYTHON_SOURCE_TREE}/PC/pyconfig.h")
    message(FATAL_ERROR "PYTHON_SOURCE_TREE must name a Python 2.7 source tree")
endif()
set(Python2_INCLUDE_DIRS "${PYTHON_SOURCE_TREE}/Include" "${PYTHON_SOURCE_TREE}/PC")
set(PYTHON_MODULE_SUFFIX ".pyd")

# Links `target` against python27.dll. Right before the link, the Python
# symbols that the target's objects import are listed in a module-definition
# file, from which dlltool makes the import library.
function(link_python27 target)
    set(directory "${CMAKE_CURRENT_BINARY_DIR}/${target}-python27")
    add_custom_command(TARGET ${target} PRE_LINK
        COMMAND ${CMAKE_COMMAND} "-DNM=${CMAKE_NM}" "-DDLLTOOL=${CMAKE_DLLTOOL}"
            "-DPOINTER_SIZE=${CMAKE_SIZEOF_VOID_P}" "-DOBJECTS=$<TARGET_OBJECTS:${target}>"
            "-DOUTPUT=${directory}" -P "${PROJECT_SOURCE_DIR}/cmake/python27-import-library.cmake"
        VERBATIM)
    # A plain -l: the library is made by the link step itself.
    target_link_directories(${target} PRIVATE "${directory}")
    target_link_libraries(${target} PRIVATE -lpython27)
    set_property(GLOBAL APPEND PROPERTY WINDOWS_PYTHON_MODULES ${target})
endfunction()

# Checks of every module built with link_python27, defined where testing is
# enabled: see check-windows-module.cmake.
function(add_windows_module_tests)
    get_property(modules GLOBAL PROPERTY WINDOWS_PYTHON_MODULES)
    foreach(target ${modules})
        get_target_property(name ${target} OUTPUT_NAME)
        add_test(NAME ${target}_dll
            COMMAND ${CMAKE_COMMAND} "-DOBJDUMP=${CMAKE_OBJDUMP}" "-DMODULE=$<TARGET_FILE:${target}>"
                "-DNAME=${name}" -P "${PROJECT_SOURCE_DIR}/cmake/check-windows-module.cmake")
        set_tests_properties(${target}_dll PROPERTIES LABELS "windows_dll;${TEST_LABELS}")
    endforeach()
endfunction()
