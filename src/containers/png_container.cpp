#include "containers/png_container.h"

#include <algorithm>
#include <array>
#include <string>

#include "containers/zlib_framing.h"
#include "io/bytes.h"
#include "stream/byte_sink.h"
#include "stream/checksum.h"

namespace {

constexpr std::array<uint8_t, 8> pngSignature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::array<uint8_t, 12> iendChunk = {0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
constexpr uint64_t maxChunkLength = 0x7FFFFFFF;  // PNG's limit for a chunk's data
constexpr uint64_t chunkPrefixLength = 8;        // length and type
constexpr uint64_t chunkCrcLength = 4;
constexpr uint64_t ihdrLength = 13;
constexpr uint64_t readPieceLength = 64 * 1024;  // what a chunk's CRC or the bytes after IEND are read in

using ChunkType = std::array<uint8_t, 4>;
constexpr ChunkType idatType = {'I', 'D', 'A', 'T'};
constexpr ChunkType iendType = {'I', 'E', 'N', 'D'};
constexpr ChunkType ihdrType = {'I', 'H', 'D', 'R'};
constexpr ChunkType plteType = {'P', 'L', 'T', 'E'};
constexpr ChunkType actlType = {'a', 'c', 'T', 'L'};
constexpr ChunkType fctlType = {'f', 'c', 'T', 'L'};
constexpr ChunkType fdatType = {'f', 'd', 'A', 'T'};

struct Chunk {
    uint64_t offset = 0;  // of its length field
    uint64_t length = 0;  // of its data
    ChunkType type{};
};

bool hasSignature(InputFile& file) {
    std::array<uint8_t, pngSignature.size()> head{};
    size_t got = 0;
    return !failed(readUpTo(file, 0, head.data(), head.size(), got)) && got == head.size() && head == pngSignature;
}

// Reads the chunk at offset, which must lie whole inside the file, its CRC included. The walk ends
// (more is false) at IEND, or where the file ends exactly on a chunk boundary: then the chunk is
// none, its type all zero, and whether the file is complete is the caller's to judge. Every read of
// the walk goes through one window, as a PNG may hold hundreds of thousands of small chunks.
ResultCode readChunk(InputFile& file, ReadWindow& window, uint64_t offset, Chunk& chunk, bool& more) {
    chunk = Chunk{offset};
    more = offset != file.size;
    if (!more) return ResultCode::Success;
    std::array<uint8_t, chunkPrefixLength> prefix{};
    const ResultCode result = readThroughWindow(file, window, offset, prefix.data(), prefix.size());
    if (failed(result)) return result;
    chunk.length = loadBe32(prefix.data());
    std::copy(prefix.begin() + 4, prefix.end(), chunk.type.begin());
    if (chunk.length > maxChunkLength) return ResultCode::InputTruncated;
    if (!fileHolds(file, offset + chunkPrefixLength, chunk.length + chunkCrcLength)) return ResultCode::InputTruncated;
    more = chunk.type != iendType;
    return ResultCode::Success;
}

uint64_t nextChunkOffset(const Chunk& chunk) {
    return chunk.offset + chunkPrefixLength + chunk.length + chunkCrcLength;
}

ResultCode checkChunkCrc(InputFile& file, ReadWindow& window, const Chunk& chunk) {
    std::vector<uint8_t> piece(static_cast<size_t>(std::min(chunk.length + 4, readPieceLength)));
    uint32_t crc = 0;
    for (uint64_t at = chunk.offset + 4, left = chunk.length + 4; left > 0;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(left, piece.size()));
        const ResultCode result = readThroughWindow(file, window, at, piece.data(), count);
        if (failed(result)) return result;
        crc = updateCrc32(crc, piece.data(), count);
        at += count;
        left -= count;
    }
    uint8_t stored[chunkCrcLength];
    const ResultCode result = readThroughWindow(file, window, chunk.offset + chunkPrefixLength + chunk.length, stored, chunkCrcLength);
    if (failed(result)) return result;
    return loadBe32(stored) == crc ? ResultCode::Success : ResultCode::ChecksumMismatch;
}

constexpr uint8_t largestFilterType = 4;

// The rows of a (sub)image, each its filter byte and pixels; a zero-width or zero-height pass holds
// none. Its bytes saturate rather than overflow, so an absurd header simply fits no stream.
RowPass rowsOf(uint64_t width, uint64_t height, uint64_t bitsPerPixel, uint64_t& bytes) {
    if (width == 0 || height == 0) return RowPass{};
    const uint64_t rowBytes = 1 + (width * bitsPerPixel + 7) / 8;
    const uint64_t passBytes = rowBytes > UINT64_MAX / height ? UINT64_MAX : rowBytes * height;
    bytes = passBytes > UINT64_MAX - bytes ? UINT64_MAX : bytes + passBytes;
    return RowPass{height, rowBytes};
}

// What IHDR says the image data is: rows of filter byte and pixels, per Adam7 pass when
// interlaced, and their size. False for an IHDR no PNG may have.
bool imageDataOf(const uint8_t* ihdr, RowLayout& rows, uint64_t& size) {
    const uint64_t width = loadBe32(ihdr), height = loadBe32(ihdr + 4);
    const uint8_t bitDepth = ihdr[8], colourType = ihdr[9], interlace = ihdr[12];
    const std::array<int, 7> channels = {1, 0, 3, 1, 2, 0, 4};
    const uint8_t compressionMethod = ihdr[10], filterMethod = ihdr[11];
    if (width == 0 || height == 0 || width > maxChunkLength || height > maxChunkLength) return false;
    if (colourType >= channels.size() || channels[colourType] == 0 || interlace > 1) return false;
    if (compressionMethod != 0 || filterMethod != 0) return false;
    const bool depthValid = colourType == 0 ? (bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8 || bitDepth == 16)
                            : colourType == 3 ? (bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8)
                                              : (bitDepth == 8 || bitDepth == 16);
    if (!depthValid) return false;
    const uint64_t bitsPerPixel = static_cast<uint64_t>(channels[colourType]) * bitDepth;
    rows.largestLead = largestFilterType;
    size = 0;
    if (interlace == 0) {
        rows.passes = {rowsOf(width, height, bitsPerPixel, size)};
        return true;
    }
    constexpr std::array<std::array<uint64_t, 4>, 7> passes = {{{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                                                {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}}};
    for (const auto& [x0, y0, dx, dy] : passes) {
        const uint64_t passWidth = width > x0 ? (width - x0 + dx - 1) / dx : 0;
        const uint64_t passHeight = height > y0 ? (height - y0 + dy - 1) / dy : 0;
        rows.passes.push_back(rowsOf(passWidth, passHeight, bitsPerPixel, size));
    }
    return true;
}

// What the header PNG's chunks between IHDR and the image data must agree with.
struct HeaderWalk {
    uint8_t bitDepth = 0;
    uint8_t colourType = 0;
    bool paletteSeen = false;
};

// The first chunk, an IHDR whose CRC holds and whose image a decoder can read.
bool readIhdr(InputFile& file, ReadWindow& window, PngHeader& header, Chunk& chunk, HeaderWalk& walk) {
    bool more = false;
    std::array<uint8_t, ihdrLength> ihdr{};
    if (failed(readChunk(file, window, pngSignature.size(), chunk, more)) || chunk.type != ihdrType ||
        chunk.length != ihdrLength || failed(checkChunkCrc(file, window, chunk)) ||
        failed(readThroughWindow(file, window, chunk.offset + chunkPrefixLength, ihdr.data(), ihdr.size()))) {
        return false;
    }
    walk.bitDepth = ihdr[8];
    walk.colourType = ihdr[9];
    return imageDataOf(ihdr.data(), header.rows, header.imageDataSize);
}

// A decoder skips a chunk it doesn't know only where its type's first letter is lower case
// (ancillary); the critical chunks it knows are these four.
bool decoderReads(const ChunkType& type) {
    constexpr uint8_t lowerCaseBit = 0x20;
    const bool letters = std::all_of(type.begin(), type.end(), [](uint8_t c) {
        return (c | lowerCaseBit) >= 'a' && (c | lowerCaseBit) <= 'z';
    });
    const bool critical = (type[0] & lowerCaseBit) == 0;
    return letters && (!critical || type == ihdrType || type == plteType || type == idatType || type == iendType);
}

// One palette of 1 to 256 entries (no more than a palette image's bit depth indexes), never in a
// grey image.
bool paletteValid(const Chunk& chunk, const HeaderWalk& walk) {
    constexpr uint64_t entryLength = 3, mostEntries = 256;
    const uint64_t entries = chunk.length / entryLength;
    const bool grey = walk.colourType == 0 || walk.colourType == 4;
    const uint64_t most = walk.colourType == 3 ? uint64_t{1} << walk.bitDepth : mostEntries;
    return !walk.paletteSeen && !grey && chunk.length % entryLength == 0 && entries >= 1 && entries <= most;
}

// A chunk after IHDR and before the image data, as a decoder judges it: CRC, type, order.
bool headerChunkValid(InputFile& file, ReadWindow& window, const Chunk& chunk, HeaderWalk& walk) {
    if (!decoderReads(chunk.type) || chunk.type == ihdrType) return false;
    if (chunk.type == plteType) {
        if (!paletteValid(chunk, walk)) return false;
        walk.paletteSeen = true;
    }
    return !failed(checkChunkCrc(file, window, chunk));
}

void keep(std::vector<Extent>& kept, uint64_t from, uint64_t to) {
    if (!kept.empty() && kept.back().offset + kept.back().length == from) {
        kept.back().length += to - from;
    } else if (to > from) {
        kept.push_back(Extent{from, to - from});
    }
}

// Cuts the zlib stream into IDAT chunks as it passes, summing each chunk's CRC.
struct IdatChunker {
    OutputFile* output = nullptr;
    uint64_t remaining = 0;  // zlib stream bytes not yet written
    uint64_t leftInChunk = 0;
    uint32_t crc = 0;
};

ResultCode putIntoChunks(void* context, const uint8_t* data, size_t count) {
    IdatChunker& chunker = *static_cast<IdatChunker*>(context);
    while (count > 0) {
        ResultCode result = ResultCode::Success;
        if (chunker.leftInChunk == 0) {
            chunker.leftInChunk = std::min(chunker.remaining, maxChunkLength);
            FieldBuffer prefix;
            putBe32(prefix, static_cast<uint32_t>(chunker.leftInChunk));
            putBytes(prefix, idatType);
            chunker.crc = updateCrc32(0, idatType.data(), idatType.size());
            result = writeFields(*chunker.output, prefix);
        }
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, chunker.leftInChunk));
        chunker.crc = updateCrc32(chunker.crc, data, piece);
        if (!failed(result)) result = writeBytes(*chunker.output, data, piece);
        chunker.leftInChunk -= piece;
        chunker.remaining -= piece;
        if (!failed(result) && chunker.leftInChunk == 0) {
            FieldBuffer suffix;
            putBe32(suffix, chunker.crc);
            result = writeFields(*chunker.output, suffix);
        }
        if (failed(result)) return result;
        data += piece;
        count -= piece;
    }
    return ResultCode::Success;
}

// The data of the first IDAT chunk at or after offset, walking past every other chunk.
ResultCode findIdat(InputFile& file, ReadWindow& window, uint64_t offset, Extent& data, bool& found) {
    Chunk chunk;
    for (;; offset = nextChunkOffset(chunk)) {
        const ResultCode result = readChunk(file, window, offset, chunk, found);
        if (failed(result) || !found) return result;
        if (chunk.type == idatType) {
            data = Extent{chunk.offset + chunkPrefixLength, chunk.length};
            return ResultCode::Success;
        }
    }
}

// The data region's next piece: the data of the IDAT chunk after the one previous lies in.
ResultCode nextIdat(InputFile& file, ReadWindow& window, const Extent& previous, Extent& next, bool& found) {
    return findIdat(file, window, previous.offset + previous.length + chunkCrcLength, next, found);
}

// A wrong chunk CRC is noted, to be said only once the file is known to be whole and its stream
// to inflate; any other failure (a read) ends the file at once.
ResultCode noteChunkCrc(InputFile& file, ReadWindow& window, const Chunk& chunk, InputFindings& findings) {
    const ResultCode result = checkChunkCrc(file, window, chunk);
    if (result == ResultCode::ChecksumMismatch) findings.carried.framingCrcWrong = true;
    return result == ResultCode::ChecksumMismatch ? ResultCode::Success : result;
}

// Only the region's first piece is kept, less the zlib header's two bytes, wherever those fall:
// the others are found again by walking.
void addIdat(const Chunk& chunk, uint64_t& headerLeft, DataRegion& region) {
    region.length += chunk.length;
    if (headerLeft > 0 || region.extents.empty()) {
        const uint64_t dropped = std::min(headerLeft, chunk.length);
        headerLeft -= dropped;
        region.extents = {Extent{chunk.offset + chunkPrefixLength + dropped, chunk.length - dropped}};
    }
}

// Bytes after IEND: zero padding (a block device's, a tape's) is silent, anything else is warned of.
ResultCode judgeBytesAfterIend(InputFile& file, uint64_t from, std::vector<std::string>& warnings) {
    std::vector<uint8_t> piece(static_cast<size_t>(std::min(file.size - from, readPieceLength)));
    for (uint64_t at = from; at < file.size; at += piece.size()) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(file.size - at, piece.size()));
        const ResultCode result = readAt(file, at, piece.data(), count);
        if (failed(result)) return result;
        if (std::any_of(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(count), [](uint8_t b) { return b != 0; })) {
            return warnOfTrailingBytes(warnings, file.size - from);
        }
    }
    return ResultCode::Success;
}

}  // namespace

const RegionRules pngRegionRules = {.parseTrailer = parseZlibTrailer,
                                    .trailerHoldsAdler32 = true,
                                    .walk = nextIdat};

bool claimsPngContainer(const uint8_t* head, size_t headLength) {
    return headLength >= 2 && head[0] == pngSignature[0] && head[1] == pngSignature[1];
}

// Walks every chunk once, up to IEND: IDAT chunks are counted (and their CRCs, and IEND's,
// checked) but not listed, as the region's pieces are found again by walking.
ResultCode readPngContainer(InputFile& input, bool checkCrcs, InputFindings& findings) {
    if (!hasSignature(input)) return ResultCode::InputPngInvalid;
    bool animated = false;
    uint64_t frames = 0;
    uint64_t headerLeft = zlibHeaderLength;
    Chunk chunk;
    bool more = true;
    ReadWindow window;
    for (uint64_t offset = pngSignature.size(); more; offset = nextChunkOffset(chunk)) {
        ResultCode result = readChunk(input, window, offset, chunk, more);
        if (!failed(result) && checkCrcs && (chunk.type == idatType || chunk.type == iendType)) {
            result = noteChunkCrc(input, window, chunk, findings);
        }
        if (failed(result)) return result;
        if (chunk.type == idatType) addIdat(chunk, headerLeft, findings.region);
        animated = animated || chunk.type == actlType || chunk.type == fctlType || chunk.type == fdatType;
        frames += chunk.type == fctlType;
    }
    // A file that ends before IEND was cut short, even where it ends between two chunks.
    if (chunk.type != iendType) return ResultCode::InputTruncated;
    if (animated) {
        findings.warnings.push_back("WARNING: APNG format detected (" + std::to_string(frames) +
                                    " frames). Only first frame supported.\n");
    }
    if (findings.region.length < zlibHeaderLength + zlibTrailerLength) return ResultCode::InputTruncated;
    findings.region.length -= zlibHeaderLength;
    findings.region.trailerLength = zlibTrailerLength;
    return judgeBytesAfterIend(input, nextChunkOffset(chunk), findings.warnings);
}

// The chunks before the image data are copied into the output, so each is checked as a decoder
// checks it: a header a decoder refuses makes a PNG nothing opens. A file that ends between two
// chunks before any image data is complete once the output's own IDAT and IEND follow.
ResultCode readPngHeader(const std::string& path, PngHeader& header) {
    const ResultCode opened = openInputFile(path, header.file);
    if (opened == ResultCode::InputMissing) return ResultCode::HeaderPngMissing;
    HeaderWalk walk;
    Chunk chunk;
    ReadWindow window;
    if (failed(opened) || !hasSignature(header.file) || !readIhdr(header.file, window, header, chunk, walk)) {
        return ResultCode::HeaderPngInvalid;
    }
    uint64_t kept = 0;  // where the run of chunks being kept began
    for (bool more = true;;) {
        if (failed(readChunk(header.file, window, nextChunkOffset(chunk), chunk, more))) return ResultCode::HeaderPngInvalid;
        if (!more || chunk.type == idatType) break;
        if (!headerChunkValid(header.file, window, chunk, walk)) return ResultCode::HeaderPngInvalid;
        // One image is written: animation control would promise frames the output lacks.
        if (chunk.type == actlType || chunk.type == fctlType) {
            keep(header.kept, kept, chunk.offset);
            kept = nextChunkOffset(chunk);
        }
    }
    if (walk.colourType == 3 && !walk.paletteSeen) return ResultCode::HeaderPngInvalid;
    keep(header.kept, kept, chunk.offset);
    return ResultCode::Success;
}

ResultCode writePngContainer(const OutputFacts& facts, PngHeader& header, RegionReader& stream, OutputFile& output) {
    for (const Extent& extent : header.kept) {
        const ResultCode result = copyFromInput(output, header.file, extent.offset, extent.length);
        if (failed(result)) return result;
    }
    IdatChunker chunker{&output, zlibHeaderLength + facts.streamLength + zlibTrailerLength};
    ByteSink sink{putIntoChunks, &chunker, nullptr};
    uint8_t trailer[zlibTrailerLength];
    storeZlibTrailer(trailer, facts.adler32);
    ResultCode result = putBytes(sink, zlibHeaderWritten, zlibHeaderLength);
    if (!failed(result)) result = writeStream(stream, facts, sink);
    if (!failed(result)) result = putBytes(sink, trailer, zlibTrailerLength);
    if (failed(result)) return result;
    return writeBytes(output, iendChunk.data(), iendChunk.size());
}
