# 32-bit Windows, the home of the module's Python 2.7.
set(MINGW_TARGET i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
