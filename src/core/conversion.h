// The record of one conversion, split by lifetime: what the reader found in the input, what
// checking the stream established, and what the writer is given. Values the input did not carry
// are absent (std::optional); the zero sentinels of the formats live only in their fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Names a container, both as detected input and as requested output.
enum class FormatCode : int32_t {
    Gzip = 0,
    GzipWithName = 1,
    Png = 2,
    Zip = 3,
    Zlib = 5,
};

// A run of bytes in a file.
struct Extent {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// The container's data region: the stream, then the container's trailer (GZIP CRC-32 and ISIZE,
// the zlib Adler-32), then whatever follows up to the region's end. Most containers hold it in
// one extent of the file; a PNG spreads it over the data of its IDAT chunks.
struct DataRegion {
    std::vector<Extent> extents;
    uint64_t length = 0;         // the extents' lengths added up
    uint64_t trailerLength = 0;  // bytes of container trailer right behind the stream
};

struct DosDateTime {
    uint16_t date = 0;
    uint16_t time = 0;
};

// What the input carried. A checksum, size or time the input stored as zero is absent here:
// the formats use zero for "unknown", so it is computed instead.
struct CarriedFacts {
    std::optional<uint32_t> crc32;
    std::optional<uint64_t> size;
    bool sizeIsModulo2To32 = false;  // GZIP ISIZE: the size's low 32 bits only
    std::optional<uint32_t> adler32;
    std::optional<int64_t> unixTime;
    std::optional<DosDateTime> dosTime;  // absent where the date word is 0 or before 1980
    std::optional<std::vector<uint8_t>> name;
    std::optional<bool> nameIsUtf8;    // said by the input (ZIP flag bit 11); absent: judge the bytes
    // The rwx bits a ZIP entry made from this input gives its file: a ZIP entry's own where it was made
    // on Unix, else the input file's; absent for standard input.
    std::optional<uint32_t> permissions;
    bool payloadIsStored = false;       // a stored ZIP entry: its bytes are the data, not DEFLATE
    bool framingCrcWrong = false;       // a CRC over the container's own pieces (PNG chunks) failed
};

// Everything a reader found in one input file.
struct InputFindings {
    CarriedFacts carried;
    DataRegion region;
    std::vector<std::string> warnings;  // shown before the file's result line; each one says the
                                        // output holds less than the input
};

// One stream of several joined into one (GZIP members): where it starts in the data region, and its
// final block's BFINAL bit and its end, in bits from its start.
struct JoinedPiece {
    uint64_t start = 0;
    uint64_t finalHeaderBit = 0;
    uint64_t endBit = 0;
};

// What checking (or measuring) the stream established. Every value here is the data's own.
struct StreamSums {
    uint64_t streamLength = 0;  // bytes of the stream at the start of the data region
    std::optional<uint32_t> crc32;
    std::optional<uint32_t> adler32;
    std::optional<uint64_t> size;  // exact, 64-bit
    bool rowLeadsValid = true;     // every row the output's layout asks for began as it must
    // The CRC-32 of the stream's own bytes as they were checked, where they were all read: the
    // bytes written must sum to it, or the input changed in between.
    std::optional<uint32_t> streamCrc32;
    // Several streams to be joined, in order (empty: the one stream at the region's start); then
    // streamLength is the joined stream's and streamCrc32 that of the pieces' bytes as they stand.
    std::vector<JoinedPiece> joined;
};

// Everything a writer is given, complete: nothing is left for it to compute.
struct OutputFacts {
    FormatCode format = FormatCode::Zip;
    uint64_t payloadLength = 0;  // bytes of the input's data region the stream is made of
    uint64_t streamLength = 0;   // bytes of the stream as written, stored-block framing included
    bool framedAsStoredBlocks = false;  // a stored entry's bytes wrapped in DEFLATE stored blocks
    bool entryIsStored = false;         // ZIP output of a stored entry: method 0
    const std::vector<JoinedPiece>* joined = nullptr;  // several streams made one, where not null
    uint32_t crc32 = 0;
    uint64_t size = 0;
    uint32_t adler32 = 1;
    int64_t unixTime = 0;
    DosDateTime dosTime;
    std::vector<uint8_t> name;
    std::optional<bool> nameIsUtf8;
    uint32_t permissions = 0644;  // the rwx bits a ZIP entry gives its file
};
