#include "containers/zlib_container.h"

#include "containers/zlib_framing.h"

bool claimsZlibContainer(const uint8_t* head, size_t headLength) {
    return isZlibHeader(head, headLength);
}

ResultCode readZlibContainer(InputFile& input, InputFindings& findings) {
    if (input.size < zlibHeaderLength + zlibTrailerLength) return ResultCode::InputTruncated;
    findings.region.extents = {Extent{zlibHeaderLength, input.size - zlibHeaderLength}};
    findings.region.length = input.size - zlibHeaderLength;
    findings.region.trailerLength = zlibTrailerLength;
    return ResultCode::Success;
}

ResultCode writeZlibHead(const OutputFacts&, OutputFile& output) {
    return writeBytes(output, zlibHeaderWritten, zlibHeaderLength);
}

ResultCode writeZlibTail(const OutputFacts& facts, OutputFile& output) {
    uint8_t trailer[zlibTrailerLength];
    storeZlibTrailer(trailer, facts.adler32);
    return writeBytes(output, trailer, zlibTrailerLength);
}
