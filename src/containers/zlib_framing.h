// The zlib wrapper (RFC 1950) around a DEFLATE stream, as ZLIB files and PNG image data use it:
// a two-byte header in front, the Adler-32 of the data big-endian behind.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/conversion.h"
#include "stream/stream_check.h"

inline constexpr uint64_t zlibHeaderLength = 2;
inline constexpr uint64_t zlibTrailerLength = 4;

// 78 DA: DEFLATE with a 32 KiB window, the best-compression level class, no preset dictionary.
inline constexpr uint8_t zlibHeaderWritten[zlibHeaderLength] = {0x78, 0xDA};

// Every header RFC 1950 allows without a preset dictionary: DEFLATE (CM 8) with any window up to
// 32 KiB (CINFO 0 to 7), any level, a valid FCHECK. The header written (32 KiB) allows every
// distance a smaller window's stream holds.
bool isZlibHeader(const uint8_t* head, size_t length);

// Reads the Adler-32 behind the stream; zero counts as not carried.
void parseZlibTrailer(const uint8_t* bytes, CarriedFacts& carried);
extern const RegionRules zlibRegionRules;

// The trailer as written: the Adler-32, big-endian.
void storeZlibTrailer(uint8_t* bytes, uint32_t adler32);
