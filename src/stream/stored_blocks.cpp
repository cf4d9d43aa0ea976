#include "stream/stored_blocks.h"

#include <new>
#include <stdexcept>

#include "stream/byte_io.h"
#include "stream/deflate_verifier.h"

namespace {

constexpr uint64_t storedBlockHeaderLength = 5;

}  // namespace

void completeStoredCrcAndSize(ConversionJob& job) {
    if (job.crc32 != 0 && job.uncompressedSize != 0) return;
    job.crc32 = updateCrc32(0, job.deflateData, job.deflateLength);
    job.uncompressedSize = job.deflateLength;
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
    completeStoredCrcAndSize(job);
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
