// Inflating a raw DEFLATE stream to sum it: the strict decoder (deflate_walk.h) hands the inflated
// bytes over in bounded pieces and they are summed on the way. Memory stays the same whatever the
// stream's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/result_code.h"
#include "io/region_reader.h"
#include "stream/checksum.h"
#include "stream/deflate_walk.h"

// Data made of rows that each begin with a byte the reader must know (a PNG row's filter type),
// in passes: one for a plain image, seven for an interlaced one.
struct RowPass {
    uint64_t rows = 0;
    uint64_t rowBytes = 0;  // the leading byte included
};
struct RowLayout {
    std::vector<RowPass> passes;
    uint8_t largestLead = 0;
};

// Where the inflated bytes stand in the layout, and whether every leading byte so far was at most
// the largest allowed. Bytes past the layout's end aren't looked at: the size says those are wrong.
struct RowWalk {
    size_t pass = 0;
    uint64_t row = 0;
    uint64_t at = 0;  // bytes of the current row already seen
    bool leadsValid = true;
};

struct InflateWants {
    bool crc32 = false;
    bool adler32 = false;
    const RowLayout* rows = nullptr;  // where the leading byte of every row is checked
    StreamBytesSeen streamBytes = {};  // who sees the stream's own bytes as they are checked
};

struct InflateTotals {
    DeflateWalk walk;  // the output's length, and where the stream's blocks lie
    uint32_t crc32 = 0;
    uint32_t adler32 = adler32Start;
    RowWalk rows;
    uint32_t streamCrc32 = 0;  // of the stream's own bytes, up to its end: what was checked
};

// Inflates the stream that starts at the reader's position, reading at most limit bytes: zlib's
// verdict (InflateFailed when it is damaged or ends before its final block), the sums wants asks
// for, and the sum of the stream's own bytes. The rows go on from where totals.rows stands (a
// stream joined to another); the rest starts anew.
ResultCode inflateStream(RegionReader& reader, uint64_t limit, InflateWants wants, InflateTotals& totals);

// Folds count inflated bytes into the totals' sums.
void account(InflateTotals& totals, const uint8_t* bytes, size_t count, InflateWants wants);
