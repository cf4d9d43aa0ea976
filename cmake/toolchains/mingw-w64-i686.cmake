# Cross-builds a 32-bit (x86) Windows program with Debian's MinGW-w64 (g++-mingw-w64-i686-posix,
# libz-mingw-w64-dev). The result is one .exe with no DLLs of its own: libstdc++, libgcc,
# winpthread and zlib are linked in.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUORVEXA_MINGW_TRIPLET i686-w64-mingw32)

set(CMAKE_C_COMPILER ${QUORVEXA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVEXA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORVEXA_MINGW_TRIPLET}-windres)

# Headers and libraries come from the target's tree only; build tools from the machine.
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVEXA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(ZLIB_USE_STATIC_LIBS ON)  # libz.a rather than the import library of zlib1.dll
