// Inflates a raw DEFLATE stream held in memory, only to measure it: the inflated bytes
// pass through one 16 KiB window and are thrown away.
#pragma once

#include <cstdint>

#include "driver/conversion_job.h"

struct InflateSummary {
    uint32_t crc32 = 0;
    uint32_t adler32 = 1;
    uint64_t size = 0;      // inflated bytes
    uint64_t consumed = 0;  // stream bytes up to the end of the final block
};

// Inflates the whole stream. A damaged stream, or one that ends before its final block,
// gives InflateFailed; bytes after the final block are left unread (see consumed).
ResultCode inflateStream(const uint8_t* data, uint64_t length, bool wantCrc, bool wantAdler,
                         InflateSummary& summary);

// Delivers any of the CRC-32 (host integer), the Adler-32 (four bytes, stream order) and the
// inflated size; null outputs are not computed. With all three null it only tests the stream.
ResultCode DeflateVerifier(uint32_t* crcOut, uint8_t* adlerOut, uint64_t* sizeOut, uint64_t length,
                           const uint8_t* data);

// Fills in the job's crc32 and uncompressedSize from its stream (both, always).
ResultCode completeCrcAndSize(ConversionJob& job);

// Fills in the job's adler32 from its stream when all four bytes are zero.
ResultCode completeAdler32(ConversionJob& job);

// Continues a CRC-32 over length bytes of any size (zlib counts in unsigned int).
uint32_t updateCrc32(uint32_t crc, const uint8_t* data, uint64_t length);
