# Cross-builds a 64-bit Windows program with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix,
# libz-mingw-w64-dev). The result is one .exe with no DLLs of its own: libstdc++, libgcc,
# winpthread and zlib are linked in.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QUORVEXA_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
