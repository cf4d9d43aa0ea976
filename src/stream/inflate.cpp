#include "stream/inflate.h"

#include <algorithm>
#include <new>
#include <vector>

InflateBuffers inflateBuffers() {
    constexpr size_t size = 256 * 1024;
    try {
        static std::vector<uint8_t> input(size);
        static std::vector<uint8_t> window(size);
        return InflateBuffers{input.data(), window.data(), size};
    } catch (const std::bad_alloc&) {  // made again at the next call
        return InflateBuffers{nullptr, nullptr, 0};
    }
}

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
    totals.produced += count;
    if (wants.crc32) totals.crc32 = updateCrc32(totals.crc32, bytes, count);
    if (wants.adler32) totals.adler32 = updateAdler32(totals.adler32, bytes, count);
}

void digestFedPiece(FedDigest& digest, const uint8_t* piece, size_t count) {
    digest.crc = updateCrc32(digest.crc, digest.held.data(), digest.heldCount);
    digest.summed += digest.heldCount;
    const size_t keep = std::min(count, digest.held.size());
    digest.crc = updateCrc32(digest.crc, piece, count - keep);
    digest.summed += count - keep;
    std::copy(piece + (count - keep), piece + count, digest.held.begin());
    digest.heldCount = keep;
}

uint32_t digestStreamEnd(FedDigest& digest, const uint8_t* lastPiece, size_t lastCount, uint64_t consumed) {
    uint64_t left = consumed > digest.summed ? consumed - digest.summed : 0;
    const size_t fromHeld = static_cast<size_t>(std::min<uint64_t>(left, digest.heldCount));
    uint32_t crc = updateCrc32(digest.crc, digest.held.data(), fromHeld);
    left -= fromHeld;
    return updateCrc32(crc, lastPiece, std::min<uint64_t>(left, lastCount));
}

ResultCode inflateStream(RegionReader& reader, uint64_t limit, InflateWants wants, InflateTotals& totals,
                         InflateEngine engine) {
    const RowWalk rows = totals.rows;  // a stream joined to another goes on with its rows
    totals = InflateTotals{};
    totals.rows = rows;
    if (engine == InflateEngine::Isal) return inflateWithIsal(reader, limit, wants, totals);
    return inflateWithZlib(reader, limit, wants, totals);
}
