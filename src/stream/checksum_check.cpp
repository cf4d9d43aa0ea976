#include "stream/checksum_check.h"

#include "stream/byte_io.h"
#include "stream/deflate_verifier.h"

namespace {

// A stored ZIP entry's bytes are the data itself: its checksums are taken over them as they stand.
InflateSummary summariseStoredBytes(const ConversionJob& job) {
    InflateSummary summary;
    summary.crc32 = updateCrc32(0, job.deflateData, job.deflateLength);
    summary.size = summary.consumed = job.deflateLength;
    return summary;
}

bool sizeMatches(const ConversionJob& job, uint64_t inflatedSize) {
    if (job.uncompressedSize == 0) return true;
    // GZIP keeps only the size modulo 2^32.
    if (job.inputFormat == FormatCode::Gzip) return job.uncompressedSize == (inflatedSize & 0xFFFFFFFFu);
    return job.uncompressedSize == inflatedSize;
}

}  // namespace

ResultCode verifyCarriedChecksums(const ConversionJob& job) {
    const bool storedEntry = job.inputFormat == FormatCode::Zip && job.compressionMethod == 0;
    InflateSummary summary;
    if (storedEntry) {
        summary = summariseStoredBytes(job);
    } else {
        const ResultCode result = inflateStream(job.deflateData, job.deflateLength, true, true, summary);
        if (result != ResultCode::Success) return result;
    }
    if (summary.consumed != job.deflateLength) return ResultCode::ChecksumMismatch;
    if (job.crc32 != 0 && job.crc32 != summary.crc32) return ResultCode::ChecksumMismatch;
    if (!sizeMatches(job, summary.size)) return ResultCode::ChecksumMismatch;
    if (!adlerIsMissing(job) && loadBe32(job.adler32.data()) != summary.adler32) return ResultCode::ChecksumMismatch;
    return ResultCode::Success;
}
