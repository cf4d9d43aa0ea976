#include <zlib.h>

#include "stream/checksum.h"

namespace {

// zlib takes lengths as z_off_t, 32 bits on some systems: longer ones go in steps.
constexpr uint64_t longestStep = uint64_t{1} << 30;
constexpr uint64_t adlerModulus = 65521;

}  // namespace

// ISA-L has no combine; zlib's is a few matrix products, whatever the lengths. Shifting a CRC by
// a run of bytes is linear, so combining with 0 step by step shifts it as far as any length.
uint32_t combineCrc32(uint32_t first, uint32_t second, uint64_t secondLength) {
    uLong crc = first;
    for (; secondLength > longestStep; secondLength -= longestStep) crc = crc32_combine(crc, 0, static_cast<z_off_t>(longestStep));
    return static_cast<uint32_t>(crc32_combine(crc, second, static_cast<z_off_t>(secondLength)));
}

// Adler-32 uses the length only modulo 65521.
uint32_t combineAdler32(uint32_t first, uint32_t second, uint64_t secondLength) {
    return static_cast<uint32_t>(adler32_combine(first, second, static_cast<z_off_t>(secondLength % adlerModulus)));
}
