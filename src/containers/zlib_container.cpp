#include "containers/zlib_container.h"

#include "stream/deflate_verifier.h"

namespace {

constexpr uint64_t zlibHeaderLength = 2;
constexpr uint64_t zlibTrailerLength = 4;

}  // namespace

bool claimsZlibContainer(const uint8_t* head, size_t headLength) {
    return headLength >= 2 && head[0] == zlibCmf && (head[1] == 0x01 || head[1] == 0xDA);
}

ResultCode readZlibContainer(ConversionJob& job, InputFile& input) {
    job.hasStoredName = false;
    if (input.size < zlibHeaderLength + zlibTrailerLength) return ResultCode::InputTruncated;
    job.deflateLength = input.size - zlibHeaderLength - zlibTrailerLength;
    ResultCode result = readIntoBuffer(input, zlibHeaderLength, job.deflateLength, job.deflateBuffer);
    if (result != ResultCode::Success) return result;
    job.deflateData = job.deflateBuffer.data();
    return readAt(input, input.size - zlibTrailerLength, job.adler32.data(), zlibTrailerLength);
}

ResultCode writeZlibContainer(ConversionJob& job, ByteWriter& output) {
    ResultCode result = completeAdler32(job);
    if (result != ResultCode::Success) return result;
    FieldBuffer header;
    putByte(header, zlibCmf);
    putByte(header, 0xDA);
    result = writeFields(output, header);
    if (result == ResultCode::Success) result = writeBytes(output, job.deflateData, job.deflateLength);
    if (result == ResultCode::Success) result = writeBytes(output, job.adler32.data(), job.adler32.size());
    return result;
}
