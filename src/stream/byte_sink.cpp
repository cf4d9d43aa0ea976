#include "stream/byte_sink.h"

#include <algorithm>
#include <array>
#include <vector>

#include "io/bytes.h"
#include "stream/checksum.h"
#include "stream/deflate_walk.h"
#include "stream/stored_blocks.h"

namespace {

void sumRead(void* crc, const uint8_t* bytes, size_t count) {
    *static_cast<uint32_t*>(crc) = updateCrc32(*static_cast<uint32_t*>(crc), bytes, count);
}

ResultCode putIntoFile(void* context, const uint8_t* data, size_t count) {
    return writeBytes(*static_cast<OutputFile*>(context), data, count);
}

constexpr size_t passThroughPiece = 256 * 1024;

// Kept for the thread's life, at most one piece long: a joined output passes every member through
// here, and a buffer allocated (and zeroed) per call cost as much as the member's bytes.
std::vector<uint8_t>& passThroughBuffer() {
    thread_local std::vector<uint8_t> buffer;
    return buffer;
}

ResultCode passThrough(RegionReader& stream, uint64_t length, ByteSink& sink) {
    std::vector<uint8_t>& buffer = passThroughBuffer();
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(length, passThroughPiece));
    ResultCode result = buffer.size() < wanted ? allocateBuffer(buffer, wanted) : ResultCode::Success;
    while (length > 0 && !failed(result)) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, wanted));
        result = readRegionExactly(stream, buffer.data(), piece);
        if (!failed(result)) result = putBytes(sink, buffer.data(), piece);
        length -= piece;
    }
    return result;
}

ResultCode copyStream(RegionReader& stream, uint64_t length, ByteSink& sink) {
    return sink.file ? copyRegion(stream, length, *sink.file) : passThrough(stream, length, sink);
}

// A stream joined to the next, from its final block's header byte: its bytes as they stand, but for
// that block's BFINAL bit, cleared, and its last byte, which begins the seam to the next stream.
ResultCode writeJoinedToNext(RegionReader& stream, const JoinedPiece& piece, ByteSink& sink) {
    const uint64_t finalByte = piece.finalHeaderBit / 8;
    const uint64_t lastByte = endByte(piece.endBit) - 1;
    uint8_t byte = 0;
    ResultCode result = seekRegion(stream, piece.start + finalByte);
    if (!failed(result)) result = readRegionExactly(stream, &byte, 1);
    if (failed(result)) return result;
    byte = withFinalBitCleared(byte, piece.finalHeaderBit);
    if (finalByte < lastByte) {
        result = putBytes(sink, &byte, 1);
        if (!failed(result)) result = copyStream(stream, lastByte - finalByte - 1, sink);
        if (!failed(result)) result = readRegionExactly(stream, &byte, 1);
        if (failed(result)) return result;
    }
    std::array<uint8_t, 6> seam{};
    return putBytes(sink, seam.data(), joinSeam(piece.endBit, byte, seam));
}

ResultCode writeJoined(RegionReader& stream, const std::vector<JoinedPiece>& pieces, ByteSink& sink) {
    for (const JoinedPiece& piece : pieces) {
        ResultCode result = writeJoinedPieceStart(stream, piece, sink);
        if (!failed(result)) result = writeJoinedPieceEnd(stream, piece, &piece == &pieces.back(), sink);
        if (failed(result)) return result;
    }
    return ResultCode::Success;
}

}  // namespace

ResultCode writeJoinedPieceStart(RegionReader& stream, const JoinedPiece& piece, ByteSink& sink) {
    const ResultCode result = seekRegion(stream, piece.start);
    return failed(result) ? result : copyStream(stream, piece.finalHeaderBit / 8, sink);
}

ResultCode writeJoinedPieceEnd(RegionReader& stream, const JoinedPiece& piece, bool last, ByteSink& sink) {
    if (!last) return writeJoinedToNext(stream, piece, sink);
    const uint64_t finalByte = piece.finalHeaderBit / 8;
    const ResultCode result = seekRegion(stream, piece.start + finalByte);
    return failed(result) ? result : copyStream(stream, endByte(piece.endBit) - finalByte, sink);
}

ReadWatch summingWatch(uint32_t& crc) {
    return ReadWatch{sumRead, &crc};
}

ByteSink fileSink(OutputFile& file) {
    return ByteSink{putIntoFile, &file, &file};
}

ResultCode putBytes(ByteSink& sink, const uint8_t* data, size_t count) {
    return sink.put(sink.context, data, count);
}

ResultCode writeStream(RegionReader& stream, const OutputFacts& facts, ByteSink& sink) {
    if (facts.framedAsStoredBlocks) return writeStoredBlocks(stream, facts.payloadLength, sink);
    if (facts.joined) return writeJoined(stream, *facts.joined, sink);
    return copyStream(stream, facts.streamLength, sink);
}
