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

#include <array>
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

// Where set, handed the stream's own bytes in order as they are decoded, exactly up to its end
// byte: a copy made of them is the very bytes checked, with no second read.
struct StreamBytesSeen {
    void (*see)(void* context, const uint8_t* bytes, size_t count) = nullptr;
    void* context = nullptr;
};

// Handed the inflated bytes in order, in pieces of at most 288 KiB, each valid only during the
// call; on failure, those before the fault. Without take, nothing is inflated. Where streamCrc32 is
// set too, it gets the CRC-32 of the stream's own bytes, exactly up to its end byte: what was checked.
struct InflatedBytes {
    void (*take)(void* context, const uint8_t* bytes, size_t count) = nullptr;
    void* context = nullptr;
    uint32_t* streamCrc32 = nullptr;
    StreamBytesSeen streamBytes = {};  // with streamCrc32 only
};

struct DeflateWalk {
    uint64_t produced = 0;        // bytes the stream inflates to (on failure: those before the fault)
    uint64_t endBit = 0;          // the bit just past the final block
    uint64_t finalHeaderBit = 0;  // the final block's first header bit (its BFINAL bit)
    bool operator==(const DeflateWalk&) const = default;
};

// The byte just past the stream: its last byte holds the end bit, and bits of what follows.
inline uint64_t endByte(uint64_t endBit) {
    return (endBit + 7) / 8;
}

// The shortest complete stream, an empty final fixed block: 03 00.
inline constexpr uint64_t shortestStream = 2;
// DEFLATE can't expand data more than about 1032 to 1.
inline constexpr uint64_t largestExpansion = 1032;
// The largest payload of one stored block (its LEN field is 16 bits).
inline constexpr uint64_t maxStoredBlockLength = 65535;

// A stored block's header where it starts on a byte boundary: BFINAL, BTYPE 00 and padding, then
// LEN and NLEN.
std::array<uint8_t, 5> storedBlockHeader(uint16_t length, bool isFinal);

// One stream joined to the next: its final block's BFINAL bit (at finalHeaderBit) cleared in the
// byte that holds it, and, from its last byte on, the bytes that end it with an empty stored block
// (not final), which brings the next stream to a byte boundary. A seam is 5 or 6 bytes.
uint8_t withFinalBitCleared(uint8_t byte, uint64_t finalHeaderBit);
size_t joinSeam(uint64_t endBit, uint8_t lastByte, std::array<uint8_t, 6>& seam);
size_t joinSeamLength(uint64_t endBit);

// Decodes the stream that starts at the reader's position, reading at most limit bytes in bounded
// pieces (memory doesn't grow with the stream). Success when zlib's raw inflate would accept the
// stream to its final block; InflateFailed when it is invalid or ends before its final block; a
// read's own failure (InputTruncated...) as the read gave it. Bytes behind the final block are
// read ahead but not judged. Thread-safe: each thread decodes in memory of its own.
ResultCode walkDeflate(RegionReader& reader, uint64_t limit, DeflateWalk& walk, BlockReport report = {},
                       InflatedBytes bytes = {});

// The same on a stream held whole in memory, size bytes at most.
ResultCode walkDeflate(const uint8_t* stream, size_t size, DeflateWalk& walk, BlockReport report = {},
                       InflatedBytes bytes = {});
