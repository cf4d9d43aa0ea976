// zlib's own verdict on a raw DEFLATE stream (window 15), with the bit positions where inflate's
// Z_BLOCK stops between blocks: what the walker is held against.
#pragma once

#include <cstdint>
#include <vector>

#include <zlib.h>

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
