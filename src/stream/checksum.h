// CRC-32 and Adler-32 over byte runs of any length.
#pragma once

#include <cstdint>

uint32_t updateCrc32(uint32_t crc, const uint8_t* data, uint64_t length);
uint32_t updateAdler32(uint32_t adler, const uint8_t* data, uint64_t length);

inline constexpr uint32_t adler32Start = 1;

// The CRC-32 and Adler-32 of two runs one after the other, from each run's own and the second's length.
uint32_t combineCrc32(uint32_t first, uint32_t second, uint64_t secondLength);
uint32_t combineAdler32(uint32_t first, uint32_t second, uint64_t secondLength);
