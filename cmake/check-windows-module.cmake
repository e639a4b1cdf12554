# cmake -P: a Python module of the Windows build is a DLL that exports
# init<NAME> and takes everything from Windows' kernel32, the C runtime
# and python27.dll, with nothing of the stand-in compiled in. In the
# Windows Python leg, KERNEL32_DLL names the stand-in's DLL that the module
# links in place of kernel32: the module's Windows functions come from it.
# Variables: OBJDUMP, MODULE (the .pyd), NAME, KERNEL32_DLL (optional).
cmake_minimum_required(VERSION 3.18)
execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} cannot read ${MODULE}")
endif()

set(problems "")
string(REGEX MATCHALL "DLL Name: [^\n]+" imported "${headers}")
string(REPLACE "DLL Name: " "" imported "${imported}")
string(TOLOWER "${imported}" imported)
if(NOT KERNEL32_DLL)
    set(KERNEL32_DLL kernel32.dll)
endif()
string(TOLOWER "${KERNEL32_DLL}" KERNEL32_DLL)
set(allowed kernel32.dll msvcrt.dll python27.dll ${KERNEL32_DLL})
foreach(dll ${imported})
    if(NOT dll IN_LIST allowed)
        list(APPEND problems "imports from ${dll}")
    endif()
endforeach()
foreach(dll ${KERNEL32_DLL} python27.dll)
    if(NOT dll IN_LIST imported)
        list(APPEND problems "does not import from ${dll}")
    endif()
endforeach()
# The export table lists each name after its ordinal: "[   0] initvolumes".
if(NOT headers MATCHES "\\] init${NAME}\n")
    list(APPEND problems "does not export init${NAME}")
endif()
file(STRINGS ${MODULE} standin REGEX "winstub")
if(standin AND KERNEL32_DLL STREQUAL "kernel32.dll")
    list(APPEND problems "carries code of the stand-in: ${standin}")
endif()

if(problems)
    message(FATAL_ERROR "${MODULE}: ${problems}")
endif()
list(JOIN imported ", " imported)
message(STATUS "${MODULE}: exports init${NAME}, imports from ${imported}")
