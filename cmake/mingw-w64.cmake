# Shared part of the Windows toolchains: Debian's MinGW-w64 cross compilers
# (the win32 thread model), for MINGW_TARGET (i686 or x86_64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MINGW_TARGET})
set(toolchain_prefix ${MINGW_TARGET}-w64-mingw32)
set(CMAKE_C_COMPILER ${toolchain_prefix}-gcc-win32)
set(CMAKE_CXX_COMPILER ${toolchain_prefix}-g++-win32)
set(CMAKE_RC_COMPILER ${toolchain_prefix}-windres)
set(CMAKE_DLLTOOL ${toolchain_prefix}-dlltool)
set(CMAKE_NM ${toolchain_prefix}-nm)
set(CMAKE_OBJDUMP ${toolchain_prefix}-objdump)
set(CMAKE_OBJCOPY ${toolchain_prefix}-objcopy)
set(CMAKE_STRIP ${toolchain_prefix}-strip)
set(CMAKE_FIND_ROOT_PATH /usr/${toolchain_prefix})
# Windows 7 is the oldest Windows the module runs on: SetThreadErrorMode.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The compiler's own runtime is linked in, so that a module needs only what
# Windows and python27.dll provide.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
