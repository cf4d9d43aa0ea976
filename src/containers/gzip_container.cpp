#include "containers/gzip_container.h"

#include <algorithm>

#include "stream/deflate_verifier.h"
#include "stream/timestamp.h"

namespace {

constexpr uint64_t gzipHeaderLength = 10;
constexpr uint64_t gzipTrailerLength = 8;
constexpr uint64_t methodOffset = 2;
constexpr uint64_t flagsOffset = 3;
constexpr uint64_t mtimeOffset = 4;
constexpr uint8_t deflateMethod = 8;
constexpr uint8_t flagsNone = 0x00;
constexpr uint8_t flagsName = 0x08;
constexpr uint8_t extraFlagsBest = 0x02;
constexpr uint8_t osUnix = 0x03;

bool methodAccepted(uint8_t method) {
    return method <= 4 || method == deflateMethod;
}

// Reads the zero-terminated name that starts at offset into job.storedName (without the
// zero) and sets end to the offset just past the zero. The name must end before the
// trailer; one that doesn't is a truncated file. Read in blocks, grown only by what was read.
ResultCode readStoredName(ConversionJob& job, InputFile& input, uint64_t offset, uint64_t limit, uint64_t& end) {
    job.storedName.clear();
    uint8_t block[256];
    while (offset < limit) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(sizeof block, limit - offset));
        const ResultCode result = readAt(input, offset, block, count);
        if (result != ResultCode::Success) return result;
        uint8_t* zero = std::find(block, block + count, uint8_t{0});
        job.storedName.insert(job.storedName.end(), block, zero);
        if (zero != block + count) {
            end = offset + static_cast<uint64_t>(zero - block) + 1;
            return ResultCode::Success;
        }
        offset += count;
    }
    return ResultCode::InputTruncated;
}

}  // namespace

bool claimsGzipContainer(const uint8_t* head, size_t headLength) {
    return headLength >= 2 && head[0] == gzipMagic[0] && head[1] == gzipMagic[1];
}

ResultCode checkGzipHeader(ConversionJob& job, InputFile& input) {
    uint8_t method = 0;
    if (readAt(input, methodOffset, &method, 1) != ResultCode::Success || !methodAccepted(method)) {
        return ResultCode::UnsupportedMethod;
    }
    job.compressionMethod = method;
    uint8_t flags = 0;
    if (readAt(input, flagsOffset, &flags, 1) != ResultCode::Success) return ResultCode::UnsupportedGzipFlags;
    if (flags == flagsName) {
        job.hasStoredName = true;
    } else if (flags == flagsNone) {
        job.hasStoredName = false;
    } else {
        return ResultCode::UnsupportedGzipFlags;
    }
    return ResultCode::Success;
}

ResultCode readGzipContainer(ConversionJob& job, InputFile& input) {
    ResultCode result = checkGzipHeader(job, input);
    if (result != ResultCode::Success) return result;
    if (input.size < gzipHeaderLength + gzipTrailerLength) return ResultCode::InputTruncated;
    const uint64_t trailerOffset = input.size - gzipTrailerLength;

    uint8_t trailer[gzipTrailerLength];
    result = readAt(input, trailerOffset, trailer, sizeof trailer);
    if (result != ResultCode::Success) return result;
    job.crc32 = loadLe32(trailer);
    job.uncompressedSize = loadLe32(trailer + 4);

    uint8_t mtime[4];
    result = readAt(input, mtimeOffset, mtime, sizeof mtime);
    if (result != ResultCode::Success) return result;
    job.unixTime = loadLe32(mtime);  // unsigned: MTIME runs to 2106, never negative

    uint64_t streamOffset = gzipHeaderLength;
    if (job.hasStoredName) {
        result = readStoredName(job, input, gzipHeaderLength, trailerOffset, streamOffset);
        if (result != ResultCode::Success) return result;
    }
    job.deflateLength = trailerOffset - streamOffset;
    result = readIntoBuffer(input, streamOffset, job.deflateLength, job.deflateBuffer);
    if (result != ResultCode::Success) return result;
    job.deflateData = job.deflateBuffer.data();
    return ResultCode::Success;
}

ResultCode writeGzipContainer(ConversionJob& job, ByteWriter& output) {
    if (job.crc32 == 0 || job.uncompressedSize == 0) {
        const ResultCode result = completeCrcAndSize(job);
        if (result != ResultCode::Success) return result;
    }
    ensureUnixTime(job);
    if (job.compressionMethod == -1) job.compressionMethod = deflateMethod;
    const bool withName = job.outputFormat == FormatCode::GzipWithName;

    FieldBuffer header;
    putBytes(header, gzipMagic);
    putByte(header, static_cast<uint8_t>(job.compressionMethod));
    putByte(header, withName ? flagsName : flagsNone);
    putLe32(header, static_cast<uint32_t>(job.unixTime));
    putByte(header, extraFlagsBest);
    putByte(header, osUnix);
    ResultCode result = writeFields(output, header);
    if (result == ResultCode::Success && withName) {
        const uint8_t terminator = 0;
        result = writeBytes(output, job.storedName.data(), job.storedName.size());
        if (result == ResultCode::Success) result = writeBytes(output, &terminator, 1);
    }
    if (result == ResultCode::Success) result = writeBytes(output, job.deflateData, job.deflateLength);
    if (result != ResultCode::Success) return result;

    FieldBuffer trailer;
    putLe32(trailer, job.crc32);
    putLe32(trailer, static_cast<uint32_t>(job.uncompressedSize));  // ISIZE is the size modulo 2^32
    return writeFields(output, trailer);
}
