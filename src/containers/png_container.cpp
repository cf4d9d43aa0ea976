#include "containers/png_container.h"

#include <algorithm>
#include <array>
#include <new>
#include <string>
#include <vector>

#include <zlib.h>

#include "driver/console.h"
#include "stream/deflate_verifier.h"

namespace {

constexpr uint64_t chunkPrefixLength = 8;  // length and type
constexpr uint64_t chunkCrcLength = 4;
constexpr uint64_t zlibHeaderLength = 2;
constexpr uint64_t zlibTrailerLength = 4;
constexpr uint8_t zlibFlagsWritten = 0xDA;

using ChunkType = std::array<uint8_t, 4>;
constexpr ChunkType iendType = {iendChunk[4], iendChunk[5], iendChunk[6], iendChunk[7]};
constexpr ChunkType actlType = {'a', 'c', 'T', 'L'};
constexpr ChunkType fctlType = {'f', 'c', 'T', 'L'};
constexpr ChunkType fdatType = {'f', 'd', 'A', 'T'};

enum class WalkMode { Input, Header };

struct DataSpan {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// What one pass over the chunks found.
struct ChunkWalk {
    std::vector<DataSpan> imageData;  // IDAT data fields, in file order (input mode)
    uint64_t imageDataLength = 0;
    uint64_t stopOffset = 0;  // where the chunk that ended the walk begins
    bool apngSeen = false;
    uint64_t frameCount = 0;
};

bool hasSignature(InputFile& file) {
    std::array<uint8_t, pngSignature.size()> head{};
    return readUpTo(file, 0, head.data(), head.size()) == head.size() && head == pngSignature;
}

// Walks the chunks from behind the signature. Every step moves forward by at least one chunk
// prefix, so the walk always ends: at IEND, at the end of the file on a chunk boundary (a file
// that simply stops there is taken as complete), at the first IDAT in header mode, or at a chunk
// the file cuts short or that claims more than PNG allows, which is an error.
ResultCode walkChunks(InputFile& file, WalkMode mode, ChunkWalk& walk) {
    uint64_t offset = pngSignature.size();
    while (offset != file.size) {
        std::array<uint8_t, chunkPrefixLength> prefix{};
        const ResultCode result = readAt(file, offset, prefix.data(), prefix.size());
        if (result != ResultCode::Success) return result;
        const uint64_t length = loadBe32(prefix.data());
        ChunkType type{};
        std::copy(prefix.begin() + 4, prefix.end(), type.begin());
        if (length > pngMaxChunkLength) return ResultCode::InputTruncated;
        if (type == iendType) break;
        if (type == idatType && mode == WalkMode::Header) break;
        if (!fileHolds(file, offset + chunkPrefixLength, length + chunkCrcLength)) return ResultCode::InputTruncated;
        if (type == idatType) {
            walk.imageData.push_back({offset + chunkPrefixLength, length});
            walk.imageDataLength += length;
        } else if (type == actlType || type == fdatType) {
            walk.apngSeen = true;
        } else if (type == fctlType) {
            walk.apngSeen = true;
            ++walk.frameCount;
        }
        offset += chunkPrefixLength + length + chunkCrcLength;
    }
    walk.stopOffset = offset;
    return ResultCode::Success;
}

void printApngWarning(const ConversionJob& job, uint64_t frameCount) {
    printStatusLine(job.inputPath, colourWarning,
                    "WARNING: APNG format detected (" + std::to_string(frameCount) +
                        " frames). Only first frame supported.\n");
}

// The zlib stream as the writer sends it: header, the job's stream, trailer. IDAT chunks take
// consecutive ranges of it, so the stream itself is never copied.
struct ZlibPieces {
    std::array<uint8_t, zlibHeaderLength> header{};
    const uint8_t* stream = nullptr;
    uint64_t streamLength = 0;
    const uint8_t* trailer = nullptr;

    uint64_t length() const { return zlibHeaderLength + streamLength + zlibTrailerLength; }
};

// Writes count bytes of the zlib stream starting at position from, folding them into crc.
ResultCode writeZlibRange(ByteWriter& output, const ZlibPieces& pieces, uint64_t from, uint64_t count,
                          uint32_t& crc) {
    const std::array<DataSpan, 3> layout = {DataSpan{0, zlibHeaderLength},
                                            DataSpan{zlibHeaderLength, pieces.streamLength},
                                            DataSpan{zlibHeaderLength + pieces.streamLength, zlibTrailerLength}};
    const std::array<const uint8_t*, 3> sources = {pieces.header.data(), pieces.stream, pieces.trailer};
    const uint64_t to = from + count;
    for (size_t i = 0; i < layout.size(); ++i) {
        const uint64_t start = std::max(from, layout[i].offset);
        const uint64_t end = std::min(to, layout[i].offset + layout[i].length);
        if (start >= end) continue;
        const uint8_t* data = sources[i] + (start - layout[i].offset);
        crc = updateCrc32(crc, data, end - start);
        const ResultCode result = writeBytes(output, data, end - start);
        if (result != ResultCode::Success) return result;
    }
    return ResultCode::Success;
}

ResultCode writeIdatChunk(ByteWriter& output, const ZlibPieces& pieces, uint64_t from, uint64_t count) {
    FieldBuffer prefix;
    putBe32(prefix, static_cast<uint32_t>(count));
    putBytes(prefix, idatType);
    ResultCode result = writeFields(output, prefix);
    if (result != ResultCode::Success) return result;
    uint32_t crc = updateCrc32(0, idatType.data(), idatType.size());
    result = writeZlibRange(output, pieces, from, count, crc);
    if (result != ResultCode::Success) return result;
    FieldBuffer suffix;
    putBe32(suffix, crc);
    return writeFields(output, suffix);
}

}  // namespace

bool claimsPngContainer(const uint8_t* head, size_t headLength) {
    return headLength >= 2 && head[0] == pngSignature[0] && head[1] == pngSignature[1];
}

ResultCode readPngContainer(ConversionJob& job, InputFile& input) {
    job.hasStoredName = false;
    if (!hasSignature(input)) return ResultCode::InputPngInvalid;
    ChunkWalk walk;
    ResultCode result = walkChunks(input, WalkMode::Input, walk);
    if (result != ResultCode::Success) return result;
    if (walk.apngSeen) printApngWarning(job, walk.frameCount);
    if (walk.imageDataLength < zlibHeaderLength + zlibTrailerLength) return ResultCode::InputTruncated;

    // Every span was checked against the file, so the total is no more than the file holds;
    // reserving it once lets each chunk's data be read straight into place.
    job.deflateBuffer.clear();
    try {
        job.deflateBuffer.reserve(static_cast<size_t>(walk.imageDataLength));
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
    for (const DataSpan& span : walk.imageData) {
        result = appendFromFile(input, span.offset, span.length, job.deflateBuffer);
        if (result != ResultCode::Success) return result;
    }

    const uint64_t total = job.deflateBuffer.size();
    job.deflateData = job.deflateBuffer.data() + zlibHeaderLength;
    std::copy_n(job.deflateBuffer.data() + total - zlibTrailerLength, zlibTrailerLength, job.adler32.begin());
    job.deflateLength = total - zlibHeaderLength - zlibTrailerLength;
    return ResultCode::Success;
}

ResultCode readPngHeader(ConversionJob& job) {
    if (!job.pngHeaderPath) return ResultCode::HeaderPngMissing;
    InputFile header;
    ResultCode result = openInputFile(job.pngHeaderPath, header);
    if (result == ResultCode::InputMissing) return ResultCode::HeaderPngMissing;
    if (result != ResultCode::Success) return result;
    if (!hasSignature(header)) return ResultCode::HeaderPngInvalid;
    ChunkWalk walk;
    result = walkChunks(header, WalkMode::Header, walk);
    if (result != ResultCode::Success) return result;
    return readIntoBuffer(header, 0, walk.stopOffset, job.pngHeader);
}

ResultCode writePngContainer(ConversionJob& job, ByteWriter& output) {
    return writePngContainerSplit(job, output, pngMaxChunkLength);
}

ResultCode writePngContainerSplit(ConversionJob& job, ByteWriter& output, uint64_t maxChunkLength) {
    if (maxChunkLength == 0) return ResultCode::Unknown;
    maxChunkLength = std::min(maxChunkLength, pngMaxChunkLength);
    ResultCode result = completeAdler32(job);
    if (result != ResultCode::Success) return result;
    result = writeBytes(output, job.pngHeader.data(), job.pngHeader.size());
    if (result != ResultCode::Success) return result;

    const ZlibPieces pieces{{zlibCmf, zlibFlagsWritten}, job.deflateData, job.deflateLength, job.adler32.data()};
    for (uint64_t from = 0; from < pieces.length(); from += maxChunkLength) {
        result = writeIdatChunk(output, pieces, from, std::min(maxChunkLength, pieces.length() - from));
        if (result != ResultCode::Success) return result;
    }
    return writeBytes(output, iendChunk.data(), iendChunk.size());
}
