# cmake -P: makes OUTPUT/libpython27.dll.a, the import library of python27.dll
# for the Python symbols that OBJECTS import (through __imp_ references, as
# the Python headers declare the API dllimport), with dlltool.
# Variables: NM, DLLTOOL, POINTER_SIZE (4: 32-bit symbols carry a leading
# underscore), OBJECTS (a ;-list), OUTPUT (a directory).
cmake_minimum_required(VERSION 3.18)
execute_process(COMMAND ${NM} --undefined-only --just-symbols ${OBJECTS}
    OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${OBJECTS}")
endif()
if(POINTER_SIZE EQUAL 4)
    set(decoration "_")
else()
    set(decoration "")
endif()
string(REGEX MATCHALL "__imp_${decoration}_?Py[A-Za-z0-9_]*" imports "${symbols}")
list(REMOVE_DUPLICATES imports)
list(SORT imports)
set(definitions "LIBRARY python27.dll\nEXPORTS\n")
foreach(import ${imports})
    string(REGEX REPLACE "^__imp_${decoration}" "" name "${import}")
    string(APPEND definitions "    ${name}\n")
endforeach()
file(MAKE_DIRECTORY "${OUTPUT}")
file(WRITE "${OUTPUT}/python27.def" "${definitions}")
execute_process(COMMAND ${DLLTOOL} --input-def "${OUTPUT}/python27.def"
    --output-lib "${OUTPUT}/libpython27.dll.a" --dllname python27.dll
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${DLLTOOL} could not make the import library of python27.dll")
endif()
