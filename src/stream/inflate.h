// Inflating a raw DEFLATE stream only to measure it: the inflated bytes pass through one
// window and are thrown away. Memory stays the same whatever the stream's length.
#pragma once

#include <cstdint>

#include "core/result_code.h"
#include "io/region_reader.h"
#include "stream/checksum.h"

struct InflateWants {
    bool crc32 = false;
    bool adler32 = false;
};

struct InflateTotals {
    uint64_t consumed = 0;  // stream bytes up to the end of the final block
    uint64_t produced = 0;  // inflated bytes
    uint32_t crc32 = 0;
    uint32_t adler32 = adler32Start;
};

// Inflates the stream that starts at the reader's position, reading at most limit bytes, strictly:
// InflateFailed when it is damaged or ends before its final block. Bytes behind the final block
// are not looked at.
ResultCode inflateStream(RegionReader& reader, uint64_t limit, InflateWants wants, InflateTotals& totals);
