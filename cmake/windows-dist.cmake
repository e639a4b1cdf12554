# cmake -P: the download of a shipped module, OUTPUT
# (windows-volumes-<version>-<platform>.zip): MODULE (the stripped .pyd),
# MODULE.debug beside it, README.txt (TEXT filled in with VERSION and
# WIDTH, in Windows line ends) and SHA256SUMS over the three, in that
# order, each dated the same, so that a build of the same files gives the
# same zip.
cmake_minimum_required(VERSION 3.18)
get_filename_component(module_file ${MODULE} NAME)
set(files ${module_file} ${module_file}.debug README.txt)
set(staging ${OUTPUT}.files)
# A zip of an earlier version goes: make dist copies every zip there.
get_filename_component(directory ${OUTPUT} DIRECTORY)
file(GLOB earlier ${directory}/windows-volumes-*.zip)
file(REMOVE_RECURSE ${staging} ${earlier})
file(MAKE_DIRECTORY ${staging})
file(COPY ${MODULE} ${MODULE}.debug DESTINATION ${staging})
file(READ ${TEXT} text)
string(CONFIGURE "${text}" text @ONLY)
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${staging}/README.txt "${text}")
# sha256sum's format: the digest, two spaces, the name.
set(sums "")
foreach(name ${files})
    file(SHA256 ${staging}/${name} digest)
    string(APPEND sums "${digest}  ${name}\n")
endforeach()
file(WRITE ${staging}/SHA256SUMS "${sums}")
# Info-ZIP's zip without extra fields (-X), which would carry each file's
# access and change times, and with every file dated 2000-01-01 00:00 UTC.
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC touch -d @946684800 ${files} SHA256SUMS
    COMMAND ${CMAKE_COMMAND} -E env TZ=UTC zip -q -X -D ${OUTPUT} ${files} SHA256SUMS
    WORKING_DIRECTORY ${staging} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "cannot make ${OUTPUT}")
endif()
file(REMOVE_RECURSE ${staging})
