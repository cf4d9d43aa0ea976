# What both MinGW-w64 targets share; the target's file sets CMAKE_SYSTEM_PROCESSOR and
# QUORVEXA_MINGW_TRIPLET, then includes this.
set(CMAKE_SYSTEM_NAME Windows)

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
