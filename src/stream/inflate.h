// Inflating a raw DEFLATE stream only to measure it: the inflated bytes pass through one
// window and are thrown away. Memory stays the same whatever the stream's length.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/result_code.h"
#include "io/region_reader.h"
#include "stream/checksum.h"

// Data made of rows that each begin with a byte the reader must know (a PNG row's filter type),
// in passes: one for a plain image, seven for an interlaced one.
struct RowPass {
    uint64_t rows = 0;
    uint64_t rowBytes = 0;  // the leading byte included
};
struct RowLayout {
    std::vector<RowPass> passes;
    uint8_t largestLead = 0;
};

// Where the inflated bytes stand in the layout, and whether every leading byte so far was at most
// the largest allowed. Bytes past the layout's end aren't looked at: the size says those are wrong.
struct RowWalk {
    size_t pass = 0;
    uint64_t row = 0;
    uint64_t at = 0;  // bytes of the current row already seen
    bool leadsValid = true;
};

struct InflateWants {
    bool crc32 = false;
    bool adler32 = false;
    const RowLayout* rows = nullptr;  // where the leading byte of every row is checked
};

// zlib's verdict on what is valid DEFLATE is the reference. ISA-L inflates about three times as
// fast but accepts some streams zlib refuses (incomplete Huffman code sets), so where it inflates
// a stream that must be verified, the strict walker (deflate_walk.h) judges the stream beside it.
enum class InflateEngine {
    Zlib,
    Isal,  // zlib where the build has no ISA-L
};

struct InflateTotals {
    uint64_t consumed = 0;  // stream bytes up to the end of the final block
    uint64_t produced = 0;  // inflated bytes
    uint32_t crc32 = 0;
    uint32_t adler32 = adler32Start;
    RowWalk rows;
    uint32_t streamCrc32 = 0;  // of the stream's own bytes, up to consumed: what was checked
};

// Sums the stream's own bytes as an engine is fed them. A piece is summed when the next one is
// read, less its last bytes, which an engine's bit buffer may still hold past the final block.
struct FedDigest {
    uint32_t crc = 0;
    uint64_t summed = 0;
    std::array<uint8_t, 16> held{};
    size_t heldCount = 0;
};

// Called with the piece just inflated, before the next one is read over it.
void digestFedPiece(FedDigest& digest, const uint8_t* piece, size_t count);

// The sum of the first consumed bytes fed, the last piece (still in its buffer) included.
uint32_t digestStreamEnd(FedDigest& digest, const uint8_t* lastPiece, size_t lastCount, uint64_t consumed);

// Inflates the stream that starts at the reader's position, reading at most limit bytes, strictly:
// InflateFailed when it is damaged or ends before its final block. Bytes behind the final block
// are not looked at.
ResultCode inflateStream(RegionReader& reader, uint64_t limit, InflateWants wants, InflateTotals& totals,
                         InflateEngine engine = InflateEngine::Zlib);

// The engines behind inflateStream; inflateWithIsal is inflateWithZlib where ISA-L isn't built in.
ResultCode inflateWithZlib(RegionReader& reader, uint64_t limit, InflateWants wants, InflateTotals& totals);
ResultCode inflateWithIsal(RegionReader& reader, uint64_t limit, InflateWants wants, InflateTotals& totals);

// True where ISA-L is built in.
bool isalBuiltIn();

// The buffers every engine reads into and inflates into; they live for the whole run, so a batch
// of small files doesn't pay for them each time. Null where they couldn't be allocated.
struct InflateBuffers {
    uint8_t* input;
    uint8_t* window;
    size_t size;
};
InflateBuffers inflateBuffers();

// Folds count inflated bytes into the totals.
void account(InflateTotals& totals, const uint8_t* bytes, size_t count, InflateWants wants);
