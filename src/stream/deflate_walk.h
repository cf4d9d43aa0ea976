// A strict DEFLATE decoder: it reads a raw DEFLATE stream's block headers and Huffman symbols and
// makes every check zlib's raw inflate (window 15) makes. Given somewhere to hand the bytes, it
// inflates them; without, it only walks the stream, copying nothing, and counts the output's
// length, which the distance check needs. Either way it finds what no inflater tells: where each
// block starts, where the final block starts, and the very bit where the stream ends.
//
// zlib's checks, all of them: block type 3 refused; a stored block's LEN equal to the complement
// of its NLEN; at most 286 literal/length and 30 distance codes; the code-length code set complete;
// no repeat (16) without a previous length, no repeat past the lengths declared; an end-of-block
// code present; literal/length and distance sets neither over-subscribed nor incomplete, except a
// set whose longest code is 1 bit (a single 1-bit code) and an empty distance set; no
// literal/length symbol 286-287 nor distance symbol 30-31 (fixed blocks too); no distance further
// back than the data so far; the stream complete to its final block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/result_code.h"
#include "io/region_reader.h"

// Told of every block when its three header bits are read; bit positions count from the walk's
// start. Joining streams needs this: a final block's BFINAL bit is its headerBit.
struct BlockReport {
    void (*onBlock)(void* context, uint64_t headerBit, bool isFinal) = nullptr;
    void* context = nullptr;
};

// Handed the inflated bytes in order, in pieces of at most 288 KiB, each valid only during the
// call; on failure, those before the fault. Without take, nothing is inflated.
struct InflatedBytes {
    void (*take)(void* context, const uint8_t* bytes, size_t count) = nullptr;
    void* context = nullptr;
};

struct DeflateWalk {
    uint64_t produced = 0;        // bytes the stream inflates to (on failure: those before the fault)
    uint64_t endBit = 0;          // the bit just past the final block
    uint64_t finalHeaderBit = 0;  // the final block's first header bit (its BFINAL bit)
    bool operator==(const DeflateWalk&) const = default;
};

// Decodes the stream that starts at the reader's position, reading at most limit bytes in bounded
// pieces (memory doesn't grow with the stream). Success when zlib's raw inflate would accept the
// stream to its final block; InflateFailed when it is invalid or ends before its final block; a
// read's own failure (InputTruncated...) as the read gave it. Bytes behind the final block are
// read ahead but not judged. Thread-safe: it shares no buffer with the inflate engines.
ResultCode walkDeflate(RegionReader& reader, uint64_t limit, DeflateWalk& walk, BlockReport report = {},
                       InflatedBytes bytes = {});

// The same on a stream held whole in memory, size bytes at most.
ResultCode walkDeflate(const uint8_t* stream, size_t size, DeflateWalk& walk, BlockReport report = {},
                       InflatedBytes bytes = {});
