#include "stream/inflate.h"

#include <algorithm>

namespace {

// Visits the first byte of every row in bytes, skipping the rest of each row at once.
void walkRows(const RowLayout& layout, RowWalk& walk, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count && walk.pass < layout.passes.size();) {
        const RowPass& pass = layout.passes[walk.pass];
        if (walk.row >= pass.rows || pass.rowBytes == 0) {
            ++walk.pass;
            walk.row = 0;
            continue;
        }
        if (walk.at == 0 && bytes[i] > layout.largestLead) walk.leadsValid = false;
        const uint64_t step = std::min<uint64_t>(pass.rowBytes - walk.at, count - i);
        i += static_cast<size_t>(step);
        walk.at += step;
        if (walk.at == pass.rowBytes) {
            walk.at = 0;
            ++walk.row;
        }
    }
}

}  // namespace

void account(InflateTotals& totals, const uint8_t* bytes, size_t count, InflateWants wants) {
    if (wants.rows) walkRows(*wants.rows, totals.rows, bytes, count);
    if (wants.crc32) totals.crc32 = updateCrc32(totals.crc32, bytes, count);
    if (wants.adler32) totals.adler32 = updateAdler32(totals.adler32, bytes, count);
}

namespace {

struct Accounting {
    InflateTotals& totals;
    InflateWants wants;
};

void takeInflated(void* context, const uint8_t* bytes, size_t count) {
    Accounting& accounting = *static_cast<Accounting*>(context);
    account(accounting.totals, bytes, count, accounting.wants);
}

}  // namespace

ResultCode inflateStream(RegionReader& reader, uint64_t limit, InflateWants wants, InflateTotals& totals) {
    const RowWalk rows = totals.rows;  // a stream joined to another goes on with its rows
    totals = InflateTotals{};
    totals.rows = rows;
    Accounting accounting{totals, wants};
    return walkDeflate(reader, limit, totals.walk, {},
                       InflatedBytes{takeInflated, &accounting, &totals.streamCrc32, wants.streamBytes});
}
