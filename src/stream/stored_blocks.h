// A stored ZIP entry (method 0) holds its data as is, not as DEFLATE. Every other output
// container carries a DEFLATE stream, so such data is wrapped in DEFLATE stored blocks there:
// no compression is done, and every inflater reads the result back to the same bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/conversion_job.h"

// The largest payload of one DEFLATE stored block (its LEN field is 16 bits).
inline constexpr uint64_t maxStoredBlockLength = 65535;

// A stored entry's CRC-32 and size, when either is missing, taken over its bytes as they
// stand: they are the data itself, not DEFLATE, so nothing is inflated.
void completeStoredCrcAndSize(ConversionJob& job);

// Wraps data in stored blocks of at most 65,535 bytes, the last one final. Empty data gives
// the one empty final block 01 00 00 FF FF.
std::vector<uint8_t> frameAsStoredBlocks(const uint8_t* data, uint64_t length);

// For a stored ZIP entry going to GZIP, ZLIB or PNG: fills in a missing CRC-32 and size from
// the raw bytes, replaces the stream with its stored-block framing and sets method 8. Does
// nothing for any other input or for ZIP output. Gives OutOfMemory when the copy can't be made.
ResultCode frameStoredEntryForDeflateOutput(ConversionJob& job);
