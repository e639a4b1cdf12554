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
# CRT_CHECK: the module imports from the C runtime only names that share no
# state with the host's runtime (below).
# Variables: OBJDUMP, MODULE (the .pyd), NAME, KERNEL32_DLL, STANDIN and
# SHIPPED, EXPORT_LISTS and WIDTH, CRT_CHECK, VERSION (optional).
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
# The names imported from the DLLs whose lower-case name matches `pattern`:
# each DLL's block of the import tables ("\tDLL Name: msvcrt.dll", a heading,
# then "\t<vma>\t <hint>  <name>" up to an empty line).
function(imported_names pattern result)
    string(REGEX MATCHALL "DLL Name: [^\n]+\n[^\n]*\n([^\n]+\n)*" blocks "${headers}")
    set(names "")
    foreach(block ${blocks})
        string(REGEX MATCH "^DLL Name: ([^\n]+)" dll "${block}")
        string(TOLOWER "${CMAKE_MATCH_1}" dll)
        if(dll MATCHES "${pattern}")
            string(REGEX MATCHALL "[0-9] +[A-Za-z_][A-Za-z0-9_]*\n" block_names "${block}")
            string(REGEX REPLACE "[0-9] +([A-Za-z0-9_]+)\n" "\\1" block_names "${block_names}")
            list(APPEND names ${block_names})
        endif()
    endforeach()
    set(${result} "${names}" PARENT_SCOPE)
endfunction()
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
    imported_names("^kernel32\\.dll$" kernel32_names)
    foreach(function ${standin_functions})
        if(function IN_LIST kernel32_names)
            list(APPEND problems "imports ${function} from kernel32.dll, not from ${KERNEL32_DLL}")
        endif()
    endforeach()
endif()
# EXPORT_LISTS, WIDTH (win32 or amd64): every name imported from python27.dll
# is in the export list of every release of that width (<release>-<width>*.txt).
if(EXPORT_LISTS)
    imported_names("^python27\\.dll$" python_names)
    if(NOT python_names)
        list(APPEND problems "imports no names from python27.dll that the check can read")
    endif()
    file(GLOB releases "${EXPORT_LISTS}/*-${WIDTH}*.txt" "${EXPORT_LISTS}/unofficial/*-${WIDTH}*.txt")
    if(NOT releases)
        message(FATAL_ERROR "no export list of ${WIDTH} in ${EXPORT_LISTS}")
    endif()
    foreach(release ${releases})
        file(STRINGS ${release} exported)
        foreach(name ${python_names})
            if(NOT name IN_LIST exported)
                file(RELATIVE_PATH release_name "${EXPORT_LISTS}" "${release}")
                list(APPEND problems "imports ${name}, which python27.dll of ${release_name} does not export")
            endif()
        endforeach()
    endforeach()
endif()
# CRT_CHECK: the official Windows Pythons run on MSVCR90.dll while the module
# imports msvcrt.dll (and the project's own Windows Python shares msvcrt.dll
# with it): whatever of the C runtime's state the module touches, it must not
# be state the host also reads or writes. Every name imported from a C
# runtime DLL must be one judged sound here; any other fails until judged.
if(CRT_CHECK)
    set(crt_sound
        # Pure functions of their arguments.
        memchr memcmp memcpy memmove memset strchr strcmp strlen strncmp strnlen wcslen wcscmp wcsncmp
        # The C runtime's heap: the module frees what it allocates and hands
        # none of it to the host, nor frees what the host allocates (what
        # crosses to Python is made by Python's own allocator). The start-up
        # code's own lists use it too (onexit_table.o: the DLL's at-exit
        # functions; tlsthrd.o: its thread-local destructors).
        malloc calloc realloc free
        # Ending the process, which is all it does to the host.
        abort
        # dllcrt2.o, the DLL's start-up: _initterm runs the DLL's own table
        # of constructors; _amsg_exit ends the process (R6031) when that
        # start-up is entered again while it runs.
        _initterm _amsg_exit
        # onexit_table.o, pulled in by dllcrt2.o: it takes the runtime's exit
        # lock around the DLL's own at-exit list. A host on msvcrt.dll takes
        # that lock in exit() too; it guards none of the host's data, and the
        # runtime's locks are re-entrant, so a DLL detached inside exit()
        # takes it again.
        _lock _unlock)
    # What would be shared, named in the failure: errno (one per thread,
    # which the host's calls set and read), the locale (one per process),
    # the FILE streams and descriptors (the host's own stdin, stdout and
    # stderr, and its buffers).
    set(crt_errno _errno __doserrno _doserrno errno _get_errno _set_errno _get_doserrno _set_doserrno
        strerror _strerror _wcserror __wcserror perror _wperror)
    set(crt_locale setlocale _wsetlocale localeconv _create_locale _wcreate_locale _free_locale
        _get_current_locale _configthreadlocale __mb_cur_max ___mb_cur_max_func ___lc_codepage_func
        ___lc_handle_func ___lc_collate_cp_func __lc_codepage _pctype __pctype_func _pwctype __pwctype_func
        mblen mbtowc wctomb mbstowcs wcstombs mbrlen mbrtowc wcrtomb mbsrtowcs wcsrtombs btowc wctob
        atoi atol atof strtol strtoul strtod tolower toupper isspace isdigit isalpha isalnum)
    set(crt_streams _iob __iob_func __acrt_iob_func __p__iob fopen _wfopen _fdopen _wfdopen fclose fflush
        fputs fputc putc fwrite fprintf vfprintf printf vprintf puts putchar fgets fgetc getc fread
        fscanf setvbuf setbuf _fileno _write _read _open _wopen _close _get_osfhandle _open_osfhandle)
    foreach(crt_dll ${imported})
        # The DLLs of Microsoft's C runtimes, the universal one's too.
        if(NOT crt_dll MATCHES "^(msvcrt|msvcr[0-9]+d?|crtdll|ucrtbased?|api-ms-win-crt-[a-z0-9-]+)\\.dll$")
            continue()
        endif()
        string(REPLACE "." "\\." crt_pattern "^${crt_dll}$")
        imported_names("${crt_pattern}" crt_names)
        set(shared "")
        foreach(function ${crt_names})
            if(function IN_LIST crt_sound)
                continue()
            endif()
            set(why "not judged")
            foreach(state errno locale streams)
                if(function IN_LIST crt_${state})
                    set(why ${state})
                endif()
            endforeach()
            list(APPEND shared "${function} (${why})")
        endforeach()
        if(shared)
            list(JOIN shared ", " shared)
            list(APPEND problems "imports from ${crt_dll} what is not judged free of the host's state: ${shared}")
        endif()
    endforeach()
endif()
# VERSION: the module's version resource gives it as its file and product
# version, and names the product and the file. Its strings are UTF-16, each
# name followed by its value.
if(VERSION)
    # Only strings that cannot break a CMake list (a "[" or ";" would).
    file(STRINGS ${MODULE} resource_strings ENCODING UTF-16LE REGEX "^[A-Za-z0-9 ._:,()-]+$")
    foreach(pair "FileVersion=${VERSION}" "ProductVersion=${VERSION}" "ProductName=windows.volumes"
            "OriginalFilename=${NAME}.pyd" "FileDescription=")
        string(REPLACE "=" ";" pair "${pair}")
        list(GET pair 0 key)
        list(GET pair 1 expected)
        list(FIND resource_strings "${key}" at)
        if(at EQUAL -1)
            list(APPEND problems "has no ${key} in a version resource")
            continue()
        endif()
        math(EXPR at "${at} + 1")
        list(GET resource_strings ${at} value)
        # An empty expected value: any value but an empty one.
        if(expected STREQUAL "" AND value STREQUAL "")
            list(APPEND problems "has an empty ${key}")
        elseif(NOT expected STREQUAL "" AND NOT value STREQUAL expected)
            list(APPEND problems "has the ${key} ${value}, not ${expected}")
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
