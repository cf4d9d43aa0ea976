#include "stream/byte_sink.h"

#include <algorithm>
#include <vector>

#include "io/bytes.h"
#include "stream/stored_blocks.h"

namespace {

ResultCode putIntoFile(void* context, const uint8_t* data, size_t count) {
    return writeBytes(*static_cast<OutputFile*>(context), data, count);
}

ResultCode passThrough(RegionReader& stream, uint64_t length, ByteSink& sink) {
    std::vector<uint8_t> buffer;
    ResultCode result = allocateBuffer(buffer, static_cast<size_t>(std::min<uint64_t>(length, 256 * 1024)));
    while (length > 0 && !failed(result)) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, buffer.size()));
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
// that block's BFINAL bit, cleared, and its last byte, whose bits past the stream's end begin an empty
// stored block (BFINAL 0, BTYPE 00, padding) that brings the next stream to a byte boundary; then
// LEN 0000, NLEN FFFF.
ResultCode writeJoinedToNext(RegionReader& stream, const JoinedPiece& piece, ByteSink& sink) {
    const uint64_t finalByte = piece.finalHeaderBit / 8;
    const uint64_t lastByte = (piece.endBit - 1) / 8;
    uint8_t byte = 0;
    ResultCode result = seekRegion(stream, piece.start + finalByte);
    if (!failed(result)) result = readRegionExactly(stream, &byte, 1);
    if (failed(result)) return result;
    byte = static_cast<uint8_t>(byte & ~(1u << (piece.finalHeaderBit % 8)));
    if (finalByte < lastByte) {
        result = putBytes(sink, &byte, 1);
        if (!failed(result)) result = copyStream(stream, lastByte - finalByte - 1, sink);
        if (!failed(result)) result = readRegionExactly(stream, &byte, 1);
        if (failed(result)) return result;
    }
    const unsigned used = static_cast<unsigned>(piece.endBit - lastByte * 8);  // 1 to 8
    if (used < 8) byte = static_cast<uint8_t>(byte & ((1u << used) - 1));
    // The block's three header bits fit behind the stream's last bit only where it leaves three free;
    // else they spill into a byte of their own.
    const bool spills = used + 3 > 8;
    const uint8_t storedBlock[] = {0x00, 0x00, 0x00, 0xFF, 0xFF};
    result = putBytes(sink, &byte, 1);
    return failed(result) ? result : putBytes(sink, storedBlock + (spills ? 0 : 1), spills ? 5 : 4);
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
    return failed(result) ? result : copyStream(stream, (piece.endBit + 7) / 8 - finalByte, sink);
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
