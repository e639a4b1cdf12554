# cmake -P: CRT_CHECK of check-windows-module.cmake fails a module that
# imports from the C runtime what it would share with the host, naming the
# DLL and each name, and passes one that imports only sound names. Each case
# is a small module built with this toolchain as link_python27 builds the
# modules (START_UP, LINK_OPTIONS), whose body calls the names.
# Variables: CC, OBJDUMP, LIBRARY (libpython27.dll.a), INCLUDES, DEFINITIONS
# and LINK_OPTIONS (;-lists), START_UP (windows-start-up.cpp), CHECK
# (check-windows-module.cmake), WORK (a directory).
cmake_minimum_required(VERSION 3.18)
file(MAKE_DIRECTORY "${WORK}")
set(flags "")
foreach(directory ${INCLUDES})
    list(APPEND flags "-I${directory}")
endforeach()
foreach(definition ${DEFINITIONS})
    list(APPEND flags "-D${definition}")
endforeach()

# <case>|<an int expression that calls the names>|<what the check says of
# the module, a regex; empty: it passes>
set(shared "imports from msvcrt\\.dll what is not judged free of the host's state:")
set(cases
    "errno|strerror(errno)[0]|${shared}.* _errno \\(errno\\).* strerror \\(errno\\)"
    "locale|setlocale(LC_ALL, \"\") != 0|${shared}.* setlocale \\(locale\\)"
    "streams|fputs(\"x\", stderr)|${shared}.* _*[a-z]*iob[a-z_]* \\(streams\\).* fputs \\(streams\\)"
    "unjudged|rand()|${shared}.* rand \\(not judged\\)"
    "sound|(free(malloc(4)), memcmp(\"abc\", \"abd\", 3))|")
set(failures "")
foreach(case ${cases})
    string(REPLACE "|" ";" case "${case}")
    list(GET case 0 name)
    list(GET case 1 body)
    list(GET case 2 expected)
    file(WRITE "${WORK}/${name}.c" "#include <Python.h>\n#include <errno.h>\n#include <locale.h>\n#include <stdio.h>\n"
        "#include <stdlib.h>\n#include <string.h>\n#include <time.h>\n"
        "__declspec(dllexport) int body(void) { return ${body}; }\n"
        "PyMODINIT_FUNC init${name}(void) { Py_InitModule(\"${name}\", NULL); }\n")
    # The calls as written: the compiler would put some of them inline.
    execute_process(COMMAND ${CC} -O0 -fno-builtin -shared ${flags} "${WORK}/${name}.c" "${START_UP}" "${LIBRARY}"
            ${LINK_OPTIONS} -o "${WORK}/${name}.pyd"
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "the module of the case ${name} does not build:\n${out}")
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} "-DOBJDUMP=${OBJDUMP}" "-DMODULE=${WORK}/${name}.pyd" "-DNAME=${name}"
            -DCRT_CHECK=ON -P "${CHECK}"
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    string(REGEX REPLACE "[ \n]+" " " out "${out}")
    if(expected STREQUAL "" AND NOT status EQUAL 0)
        list(APPEND failures "${name}: fails the check, which it should pass: ${out}")
    elseif(NOT expected STREQUAL "" AND (status EQUAL 0 OR NOT out MATCHES "${WORK}/${name}\\.pyd: ${expected}"))
        list(APPEND failures "${name}: the check does not say '${expected}': ${out}")
    endif()
endforeach()
if(failures)
    list(JOIN failures "\n" failures)
    message(FATAL_ERROR "${failures}")
endif()
list(LENGTH cases count)
message(STATUS "CRT_CHECK judges all ${count} cases as it must")
