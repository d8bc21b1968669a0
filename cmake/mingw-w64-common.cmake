# Shared part of the MinGW-w64 toolchain files; the including file sets
# WEBHAUL_MINGW_TRIPLET. The program must run on a bare Windows, so the
# compiler's own runtime is linked in statically: the executable then
# imports only KERNEL32, msvcrt and WSOCK32.
set(CMAKE_SYSTEM_NAME Windows)
if(WEBHAUL_MINGW_TRIPLET MATCHES "^i686")
  set(CMAKE_SYSTEM_PROCESSOR x86)
else()
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
endif()

# Prefer the win32 thread model compilers; the posix ones need libwinpthread.
find_program(WEBHAUL_MINGW_CXX NAMES ${WEBHAUL_MINGW_TRIPLET}-g++-win32 ${WEBHAUL_MINGW_TRIPLET}-g++ REQUIRED)
find_program(WEBHAUL_MINGW_CC NAMES ${WEBHAUL_MINGW_TRIPLET}-gcc-win32 ${WEBHAUL_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${WEBHAUL_MINGW_CXX})
if(WEBHAUL_MINGW_CC)
  set(CMAKE_C_COMPILER ${WEBHAUL_MINGW_CC})
endif()
set(CMAKE_RC_COMPILER ${WEBHAUL_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${WEBHAUL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
