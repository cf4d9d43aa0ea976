#include "stream/inflate.h"

// This build has no ISA-L: zlib serves for both engines.
ResultCode inflateWithIsal(RegionReader& reader, uint64_t limit, InflateWants wants, InflateTotals& totals) {
    return inflateWithZlib(reader, limit, wants, totals);
}

bool isalBuiltIn() {
    return false;
}
