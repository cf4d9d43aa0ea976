// zlib's own verdict on a raw DEFLATE stream (window 15), with the bit positions where inflate's
// Z_BLOCK stops between blocks: what the walker is held against.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include <zlib.h>

#include "stream/deflate_walk.h"

struct ZlibVerdict {
    bool accepted = false;
    uint64_t produced = 0;
    uLong crc32 = 0;  // of the bytes produced
    uint64_t endBit = 0;
    std::vector<uint64_t> blockStarts;  // every block's header but the first
};

inline ZlibVerdict zlibVerdict(const uint8_t* stream, size_t size) {
    ZlibVerdict verdict;
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return verdict;
    std::vector<uint8_t> window(1 << 16);
    z.next_in = const_cast<uint8_t*>(stream);
    z.avail_in = static_cast<uInt>(size);
    for (int status = Z_OK; status == Z_OK;) {
        z.next_out = window.data();
        z.avail_out = static_cast<uInt>(window.size());
        status = inflate(&z, Z_BLOCK);
        verdict.crc32 = crc32(verdict.crc32, window.data(), static_cast<uInt>(window.size() - z.avail_out));
        verdict.accepted = status == Z_STREAM_END;
        const uint64_t bit = z.total_in * 8 - (z.data_type & 63);
        if (status != Z_OK || !(z.data_type & 128)) continue;
        if (z.data_type & 64) {
            verdict.endBit = bit;
        } else if (verdict.blockStarts.empty() || verdict.blockStarts.back() != bit) {
            verdict.blockStarts.push_back(bit);
        }
    }
    verdict.produced = z.total_out;
    inflateEnd(&z);
    return verdict;
}

// The decoder on the stream's size bytes against zlib: the same verdict and output (its length and
// CRC-32), walked as inflated, the same block starts as far as both went, and for an accepted
// stream the same end bit and final block. accepted is the verdict.
inline bool walkerAgreesWithZlib(const uint8_t* stream, size_t size, bool& accepted) {
    DeflateWalk walk, inflated;
    std::vector<uint64_t> starts;
    uLong crc = 0;
    const BlockReport report{[](void* c, uint64_t bit, bool) { static_cast<std::vector<uint64_t>*>(c)->push_back(bit); }, &starts};
    const InflatedBytes sum{[](void* c, const uint8_t* b, size_t n) { *static_cast<uLong*>(c) = crc32(*static_cast<uLong*>(c), b, static_cast<uInt>(n)); }, &crc};
    const ResultCode result = walkDeflate(stream, size, walk, report);
    accepted = result == ResultCode::Success;
    const ZlibVerdict zlib = zlibVerdict(stream, size);
    if (walkDeflate(stream, size, inflated, {}, sum) != result || !(inflated == walk) || crc != zlib.crc32) return false;
    if (accepted != zlib.accepted || walk.produced != zlib.produced) return false;
    const uint64_t finalHeader = starts.empty() ? 0 : starts.back();
    if (!starts.empty()) starts.erase(starts.begin());
    if (accepted) return starts == zlib.blockStarts && walk.endBit == zlib.endBit && walk.finalHeaderBit == finalHeader;
    const size_t reached = std::min(starts.size(), zlib.blockStarts.size());
    return std::equal(starts.begin(), starts.begin() + static_cast<std::ptrdiff_t>(reached), zlib.blockStarts.begin());
}
