// CRC-32 and Adler-32 over byte runs of any length.
#pragma once

#include <cstdint>

uint32_t updateCrc32(uint32_t crc, const uint8_t* data, uint64_t length);
uint32_t updateAdler32(uint32_t adler, const uint8_t* data, uint64_t length);

inline constexpr uint32_t adler32Start = 1;
