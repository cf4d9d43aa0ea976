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

inline void recordBlock(void* context, uint64_t headerBit, bool) {
    static_cast<std::vector<uint64_t>*>(context)->push_back(headerBit);
}

// The walker on the stream's size bytes, held in file, against zlib: the same verdict and output
// length, the same block starts as far as both went, and for an accepted stream the same end bit
// and final block. accepted is the verdict.
inline bool walkerAgreesWithZlib(InputFile& file, const uint8_t* stream, size_t size, bool& accepted) {
    const std::vector<Extent> extents = {Extent{0, size}};
    RegionReader reader = regionReader(file, extents);
    DeflateWalk walk;
    std::vector<uint64_t> starts;
    accepted = walkDeflate(reader, size, walk, BlockReport{recordBlock, &starts}) == ResultCode::Success;
    const ZlibVerdict zlib = zlibVerdict(stream, size);
    if (accepted != zlib.accepted || walk.produced != zlib.produced) return false;
    const uint64_t finalHeader = starts.empty() ? 0 : starts.back();
    if (!starts.empty()) starts.erase(starts.begin());
    if (accepted) return starts == zlib.blockStarts && walk.endBit == zlib.endBit && walk.finalHeaderBit == finalHeader;
    const size_t reached = std::min(starts.size(), zlib.blockStarts.size());
    return std::equal(starts.begin(), starts.begin() + static_cast<std::ptrdiff_t>(reached), zlib.blockStarts.begin());
}
