#include "stream/stored_blocks.h"

#include <new>
#include <stdexcept>

#include <zlib.h>

#include "stream/byte_io.h"

namespace {

// zlib counts lengths in unsigned int.
constexpr uint64_t maxCrcPiece = uint64_t{1} << 30;
constexpr uint64_t storedBlockHeaderLength = 5;

}  // namespace

uint32_t crc32OfBytes(const uint8_t* data, uint64_t length) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    while (length > 0) {
        const uint64_t piece = length < maxCrcPiece ? length : maxCrcPiece;
        crc = ::crc32(crc, data, static_cast<uInt>(piece));
        data += piece;
        length -= piece;
    }
    return static_cast<uint32_t>(crc);
}

std::vector<uint8_t> frameAsStoredBlocks(const uint8_t* data, uint64_t length) {
    const uint64_t blocks = length == 0 ? 1 : (length + maxStoredBlockLength - 1) / maxStoredBlockLength;
    std::vector<uint8_t> framed;
    framed.reserve(static_cast<size_t>(length + blocks * storedBlockHeaderLength));
    uint64_t remaining = length;
    do {
        const uint64_t piece = remaining < maxStoredBlockLength ? remaining : maxStoredBlockLength;
        const bool lastBlock = piece == remaining;
        FieldBuffer header;
        putByte(header, lastBlock ? 0x01 : 0x00);  // BFINAL, BTYPE 00 (stored)
        putLe16(header, static_cast<uint16_t>(piece));
        putLe16(header, static_cast<uint16_t>(~piece));
        framed.insert(framed.end(), header.bytes.begin(), header.bytes.begin() + header.length);
        framed.insert(framed.end(), data, data + piece);
        data += piece;
        remaining -= piece;
    } while (remaining > 0);
    return framed;
}

ResultCode frameStoredEntryForDeflateOutput(ConversionJob& job) {
    if (job.inputFormat != FormatCode::Zip || job.compressionMethod != 0 || job.outputFormat == FormatCode::Zip) {
        return ResultCode::Success;
    }
    if (job.crc32 == 0 || job.uncompressedSize == 0) {
        job.crc32 = crc32OfBytes(job.deflateData, job.deflateLength);
        job.uncompressedSize = job.deflateLength;
    }
    try {
        std::vector<uint8_t> framed = frameAsStoredBlocks(job.deflateData, job.deflateLength);
        job.deflateBuffer = std::move(framed);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    } catch (const std::length_error&) {
        return ResultCode::OutOfMemory;
    }
    job.deflateLength = job.deflateBuffer.size();
    job.deflateData = job.deflateBuffer.data();
    job.compressionMethod = 8;
    return ResultCode::Success;
}
