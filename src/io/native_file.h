// The system's handle for an open file: the one place the platforms differ in a type.
#pragma once

#ifdef _WIN32
using NativeFile = void*;  // a HANDLE
inline const NativeFile invalidNativeFile = reinterpret_cast<void*>(static_cast<long long>(-1));
#else
using NativeFile = int;  // a file descriptor
inline constexpr NativeFile invalidNativeFile = -1;
#endif
