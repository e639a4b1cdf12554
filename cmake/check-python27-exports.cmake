# cmake -P: modules link against the import library made from python27.dll's
# own exports. A module built with the definitions of the build links; one
# built for the other ABI (MS_WIN64 toggled) refers to the other entry point,
# Py_InitModule4 or Py_InitModule4_64, which the interpreter does not export,
# and must fail to link.
# Variables: CC, LIBRARY (libpython27.dll.a), INCLUDES (a ;-list),
# DEFINITIONS (a ;-list, MS_WIN64 or nothing), WORK (a directory).
cmake_minimum_required(VERSION 3.18)
file(MAKE_DIRECTORY "${WORK}")
file(WRITE "${WORK}/module.c" "#include <Python.h>\nvoid initmodule(void) { Py_InitModule(\"module\", NULL); }\n")
set(include_flags "")
foreach(directory ${INCLUDES})
    list(APPEND include_flags "-I${directory}")
endforeach()

function(try_link name definitions result output)
    set(definition_flags "")
    foreach(definition ${definitions})
        list(APPEND definition_flags "-D${definition}")
    endforeach()
    execute_process(COMMAND ${CC} -shared ${include_flags} ${definition_flags} "${WORK}/module.c" "${LIBRARY}"
        -o "${WORK}/${name}.pyd" RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    set(${result} ${status} PARENT_SCOPE)
    set(${output} "${out}" PARENT_SCOPE)
endfunction()

try_link(this_abi "${DEFINITIONS}" status output)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "a module of this build does not link against ${LIBRARY}:\n${output}")
endif()
if("MS_WIN64" IN_LIST DEFINITIONS)
    set(other "")
    set(missing Py_InitModule4)
else()
    set(other MS_WIN64)
    set(missing Py_InitModule4_64)
endif()
try_link(other_abi "${other}" status output)
if(status EQUAL 0 OR NOT output MATCHES "undefined reference to `_*imp_+${missing}'")
    message(FATAL_ERROR "a module for the other ABI links (or fails otherwise), though python27.dll does not export ${missing}:\n${output}")
endif()
if(NOT DEFINITIONS)
    set(DEFINITIONS "no MS_WIN64")
endif()
message(STATUS "links with ${DEFINITIONS}; for the other ABI, ${missing} is missing from python27.dll, as it must be")
