// The step between reading and writing that every conversion shares: it finds where the stream
// really ends, inflates it once and judges it as zlib would, holds every checksum and size it carries
// against the data, and fills in what the input lacks. Nothing here knows a container: the
// input's container describes its data region through RegionRules.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/conversion.h"
#include "core/result_code.h"
#include "io/input_file.h"
#include "io/region_reader.h"
#include "stream/inflate.h"
#include "stream/work_pool.h"

// A later member's header, as the container reads it: where its stream starts, whether its own
// CRC over the header is wrong, and the member's whole length where the header tells it (BGZF's
// BC field; 0 where it doesn't), a hint to start on the next member before this one is decoded.
struct MemberStart {
    uint64_t streamOffset = 0;
    bool headerCrcWrong = false;
    uint64_t hintedLength = 0;
};

// How a container lays out its data region: the trailer behind the stream, what may follow it,
// and how its pieces are found.
struct RegionRules {
    // Reads the container's trailer (DataRegion::trailerLength bytes) into carried.
    void (*parseTrailer)(const uint8_t* bytes, CarriedFacts& carried) = nullptr;
    // The first bytes after the trailer: Success, or the code for data that can't be ignored.
    ResultCode (*judgeTrailingBytes)(const uint8_t* head, size_t length) = nullptr;
    bool zeroPaddingIsSilent = true;  // tape or block padding after the trailer
    bool trailerHoldsCrc32 = false;   // so the check computes it before it has read the trailer
    bool trailerHoldsAdler32 = false;
    NextExtent walk = nullptr;  // for a data region whose pieces are found by walking the file
    // For a container of several members, each with its own stream and trailer (GZIP): reads the
    // header of the member at the file's offset, which starts with the container's magic.
    ResultCode (*readMember)(InputFile& file, uint64_t offset, MemberStart& member) = nullptr;
};

// What the output container needs from the data.
struct OutputNeeds {
    bool crc32AndSize = false;  // ZIP, GZIP
    bool exactSize = false;     // ZIP holds the whole size; GZIP only its low 32 bits
    bool adler32 = false;       // ZLIB, PNG
    const RowLayout* rows = nullptr;  // PNG: the image's rows, each led by its filter type
    // Joined to other streams in one output: its pieces that hold data, each with its final block,
    // are wanted even where it is one stream (then StreamSums::joined holds that one).
    bool joinsOthers = false;
};

// verify off is the carry-without-inflating mode: the stream is the whole data region less its
// trailer, and it is inflated only when the output needs a value the input lacks. A container of
// members has its first member walked even then, to find where it ends: if another follows, every
// member is checked and joined as when verifying. Whatever is inflated or walked is judged as when
// verifying: zlib's verdict, the stream ending at its final block (the trailer there, what follows
// judged), and the size and sums measured held against those carried.
// A watch, where given, learns of a join as it is made: joining is set as soon as a second member is
// found, and each piece that holds data is told, in order, once it is checked (on the checking
// thread). Members are checked on the pool's threads where their headers say where the next starts;
// without a pool, one after the other. Where verifying, firstStreamBytes sees the first stream's own
// bytes as it is checked (on the checking thread).
struct CheckWatch {
    std::atomic<bool> joining = false;
    void (*pieceJoined)(void* context, const JoinedPiece& piece) = nullptr;
    void* context = nullptr;
    StreamBytesSeen firstStreamBytes = {};
};
ResultCode checkStream(InputFile& file, InputFindings& findings, const RegionRules& rules, OutputNeeds needs,
                       bool verify, StreamSums& sums, ReadProgress progress = {}, CheckWatch* watch = nullptr,
                       WorkPool* pool = nullptr);

// True where checkStream reads the stream through (inflates or walks it), not only its trailer: then
// copying the stream beside the check costs no extra time.
bool checkReadsStream(const InputFindings& findings, const RegionRules& rules, OutputNeeds needs, bool verify);

// Adds the warning for count bytes that follow a container's end and are left out of the output.
ResultCode warnOfTrailingBytes(std::vector<std::string>& warnings, uint64_t count);

// The checksums and size the output gets: the data's own where they were measured, else those
// the input carried.
void fillOutputSums(const CarriedFacts& carried, const StreamSums& sums, OutputFacts& facts);
