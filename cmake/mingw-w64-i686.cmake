# Cross build for 32-bit Windows with MinGW-w64 (win32 thread model, so
# nothing pulls in a threading DLL). Use:
#   cmake -S . -B build-windows-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(WEBHAUL_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
