# cmake -P: a Python module of the Windows build is a DLL that exports
# init<NAME> and takes everything from Windows' kernel32, the C runtime
# and python27.dll, with nothing of the stand-in compiled in.
# Variables: OBJDUMP, MODULE (the .pyd), NAME.
cmake_minimum_required(VERSION 3.18)
execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} cannot read ${MODULE}")
endif()

set(problems "")
string(REGEX MATCHALL "DLL Name: [^\n]+" imported "${headers}")
string(REPLACE "DLL Name: " "" imported "${imported}")
string(TOLOWER "${imported}" imported)
set(allowed kernel32.dll msvcrt.dll python27.dll)
foreach(dll ${imported})
    if(NOT dll IN_LIST allowed)
        list(APPEND problems "imports from ${dll}")
    endif()
endforeach()
foreach(dll kernel32.dll python27.dll)
    if(NOT dll IN_LIST imported)
        list(APPEND problems "does not import from ${dll}")
    endif()
endforeach()
# The export table lists each name after its ordinal: "[   0] initvolumes".
if(NOT headers MATCHES "\\] init${NAME}\n")
    list(APPEND problems "does not export init${NAME}")
endif()
file(STRINGS ${MODULE} standin REGEX "winstub")
if(standin)
    list(APPEND problems "carries code of the stand-in: ${standin}")
endif()

if(problems)
    message(FATAL_ERROR "${MODULE}: ${problems}")
endif()
list(JOIN imported ", " imported)
message(STATUS "${MODULE}: exports init${NAME}, imports from ${imported}")
