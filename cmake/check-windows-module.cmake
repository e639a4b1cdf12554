# cmake -P: a Python module of the Windows build is a DLL that exports
# init<NAME> and takes everything from Windows' kernel32, the C runtime
# and python27.dll, with nothing of the stand-in compiled in. In the
# Windows Python leg, KERNEL32_DLL names the stand-in's DLL that the module
# links in place of kernel32: the module's Windows functions come from it.
# A module that ships (SHIPPED) is stripped, and its debug information is in
# the file beside it that its debuglink names, with a CRC that matches.
# STANDIN, that DLL's file: none of the kernel32 functions it exports may
# come from kernel32.dll instead (a module whose references to them find no
# import in the stand-in's import library binds them to kernel32's).
# Variables: OBJDUMP, MODULE (the .pyd), NAME, KERNEL32_DLL, STANDIN and
# SHIPPED (optional).
cmake_minimum_required(VERSION 3.18)
# What objdump prints of `file` with `option`; a file it cannot read ends the check.
function(objdump option file result)
    execute_process(COMMAND ${OBJDUMP} ${option} ${file} OUTPUT_VARIABLE output RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${OBJDUMP} cannot read ${file}")
    endif()
    set(${result} "${output}" PARENT_SCOPE)
endfunction()
objdump(-p ${MODULE} headers)

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
# The sections a file has, by name.
function(section_names file result)
    objdump(-h ${file} sections)
    string(REGEX MATCHALL "\n +[0-9]+ [^ ]+" names "${sections}")
    string(REGEX REPLACE "\n +[0-9]+ " "" names "${names}")
    set(${result} "${names}" PARENT_SCOPE)
endfunction()

set(debug_file "")
if(SHIPPED)
    section_names(${MODULE} sections)
    string(REGEX MATCHALL "\\.debug_[^;]+" debug_sections "${sections}")
    if(debug_sections)
        list(APPEND problems "is not stripped: ${debug_sections}")
    endif()
    # objdump looks for the debuglink's file as a debugger does (beside the
    # module first) and takes it only if its CRC matches.
    get_filename_component(directory ${MODULE} DIRECTORY)
    execute_process(COMMAND ${OBJDUMP} --dwarf=links ${MODULE} OUTPUT_VARIABLE links ERROR_VARIABLE link_warnings)
    if(NOT links MATCHES "Separate debug info file: ([^\n/]+)\n")
        list(APPEND problems "has no debuglink")
    else()
        set(linked ${directory}/${CMAKE_MATCH_1})
        string(FIND "${links}" "Found separate debug info file: ${linked}\n" found)
        if(found EQUAL -1)
            list(APPEND problems "has a debuglink to ${linked}, not found there with its CRC: ${link_warnings}")
        else()
            set(debug_file ${linked})
            section_names(${debug_file} sections)
            foreach(section .debug_info .debug_line)
                if(NOT section IN_LIST sections)
                    list(APPEND problems "has its debug information in ${debug_file}, which has no ${section}")
                endif()
            endforeach()
        endif()
    endif()
endif()
# In the debug information too: the files that were compiled in.
file(STRINGS ${MODULE} standin REGEX "winstub")
if(debug_file)
    file(STRINGS ${debug_file} standin_debug REGEX "winstub")
    list(APPEND standin ${standin_debug})
endif()
if(standin AND KERNEL32_DLL STREQUAL "kernel32.dll")
    list(APPEND problems "carries code of the stand-in: ${standin}")
endif()

if(STANDIN)
    objdump(-p ${STANDIN} standin_headers)
    # Its plain C names ("[   0] FindFirstVolumeW"), not the decorated or C++ ones.
    string(REGEX MATCHALL "\\] [A-Z][A-Za-z]+\n" standin_functions "${standin_headers}")
    string(REGEX REPLACE "\\] ([A-Za-z]+)\n" "\\1" standin_functions "${standin_functions}")
    if(NOT standin_functions)
        message(FATAL_ERROR "${STANDIN} exports no kernel32 function")
    endif()
    # The compiler's runtime, linked in, keeps kernel32's own last error
    # around its calls (libwinstub.dll's CMakeLists.txt): these two may come
    # from both.
    list(REMOVE_ITEM standin_functions GetLastError SetLastError)
    # The names the module imports from kernel32.dll: its block of the import
    # tables, up to the next DLL's.
    string(TOLOWER "${headers}" lower_headers)
    string(FIND "${lower_headers}" "dll name: kernel32.dll" start)
    set(kernel32_block "")
    if(start GREATER_EQUAL 0)
        string(SUBSTRING "${headers}" ${start} -1 kernel32_block)
        string(SUBSTRING "${kernel32_block}" 10 -1 rest)
        string(FIND "${rest}" "DLL Name: " end)
        if(end GREATER_EQUAL 0)
            string(SUBSTRING "${rest}" 0 ${end} kernel32_block)
        endif()
    endif()
    foreach(function ${standin_functions})
        if(kernel32_block MATCHES "[0-9] +${function}\n")
            list(APPEND problems "imports ${function} from kernel32.dll, not from ${KERNEL32_DLL}")
        endif()
    endforeach()
endif()
if(problems)
    message(FATAL_ERROR "${MODULE}: ${problems}")
endif()
list(JOIN imported ", " imported)
if(debug_file)
    set(imported "${imported}; stripped, its debug information in ${debug_file}")
endif()
message(STATUS "${MODULE}: exports init${NAME}, imports from ${imported}")
