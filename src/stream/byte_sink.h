// Where a writer's bytes go: straight into the output file, or through a filter of the writer's
// own (PNG cuts its zlib stream into chunks and sums their CRC on the way).
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/conversion.h"
#include "io/output_file.h"
#include "io/region_reader.h"

struct ByteSink {
    ResultCode (*put)(void* context, const uint8_t* data, size_t count) = nullptr;
    void* context = nullptr;
    OutputFile* file = nullptr;  // set when bytes may go to this file unfiltered, copied by the system
};

ByteSink fileSink(OutputFile& file);

// A watch that sums what a reader reads into crc: the stream written, to hold against the one checked.
ReadWatch summingWatch(uint32_t& crc);

ResultCode putBytes(ByteSink& sink, const uint8_t* data, size_t count);

// Writes the stream that starts at the reader's position: its bytes as they stand, or a stored
// entry's bytes framed as DEFLATE stored blocks.
ResultCode writeStream(RegionReader& stream, const OutputFacts& facts, ByteSink& sink);

// Write one of several streams joined into one, from the reader's region, in two steps: its bytes up
// to its final block's header byte, the same whether it is the last or not, and then the rest; a
// piece that isn't the last leaves its final block unmarked and ends with an empty stored block.
ResultCode writeJoinedPieceStart(RegionReader& stream, const JoinedPiece& piece, ByteSink& sink);
ResultCode writeJoinedPieceEnd(RegionReader& stream, const JoinedPiece& piece, bool last, ByteSink& sink);
