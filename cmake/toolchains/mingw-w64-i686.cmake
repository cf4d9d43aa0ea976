# Cross-builds a 32-bit (x86) Windows program with Debian's MinGW-w64 (g++-mingw-w64-i686-posix,
# libz-mingw-w64-dev). The result is one .exe with no DLLs of its own: libstdc++, libgcc,
# winpthread and zlib are linked in.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUORVEXA_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
