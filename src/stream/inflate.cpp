#include "stream/inflate.h"

#include <vector>

InflateBuffers inflateBuffers() {
    constexpr size_t size = 256 * 1024;
    static std::vector<uint8_t> input(size);
    static std::vector<uint8_t> window(size);
    return InflateBuffers{input.data(), window.data(), size};
}

void account(InflateTotals& totals, const uint8_t* bytes, size_t count, InflateWants wants) {
    totals.produced += count;
    if (wants.crc32) totals.crc32 = updateCrc32(totals.crc32, bytes, count);
    if (wants.adler32) totals.adler32 = updateAdler32(totals.adler32, bytes, count);
}

ResultCode inflateStream(RegionReader& reader, uint64_t limit, InflateWants wants, InflateTotals& totals,
                         InflateEngine engine) {
    totals = InflateTotals{};
    if (engine == InflateEngine::Isal) return inflateWithIsal(reader, limit, wants, totals);
    return inflateWithZlib(reader, limit, wants, totals);
}
