#include "stream/deflate_verifier.h"

#include <array>
#include <climits>
#include <memory>

#include <zlib.h>

#include "stream/byte_io.h"

namespace {

constexpr unsigned windowSize = 16384;
// zlib counts input in unsigned int; feed longer streams in pieces of this size.
constexpr uint64_t maxInputPiece = uint64_t{1} << 30;

struct InflateEnder {
    void operator()(z_stream* stream) const { inflateEnd(stream); }
};

void refillInput(z_stream& stream, const uint8_t*& next, uint64_t& remaining) {
    if (stream.avail_in != 0 || remaining == 0) return;
    const uint64_t piece = remaining < maxInputPiece ? remaining : maxInputPiece;
    stream.next_in = const_cast<Bytef*>(next);
    stream.avail_in = static_cast<uInt>(piece);
    next += piece;
    remaining -= piece;
}

// Feeds produced bytes to the requested running checksums, in pieces zlib can take.
void account(InflateSummary& summary, const uint8_t* bytes, unsigned count, bool wantCrc, bool wantAdler) {
    summary.size += count;
    if (wantCrc) summary.crc32 = static_cast<uint32_t>(::crc32(summary.crc32, bytes, count));
    if (wantAdler) summary.adler32 = static_cast<uint32_t>(::adler32(summary.adler32, bytes, count));
}

}  // namespace

ResultCode inflateStream(const uint8_t* data, uint64_t length, bool wantCrc, bool wantAdler,
                         InflateSummary& summary) {
    summary = InflateSummary{};
    if (length == 0) return ResultCode::Success;

    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) return ResultCode::DecompressorInitFailed;
    std::unique_ptr<z_stream, InflateEnder> guard(&stream);

    std::array<uint8_t, windowSize> window;
    const uint8_t* next = data;
    uint64_t remaining = length;
    for (;;) {
        refillInput(stream, next, remaining);
        stream.next_out = window.data();
        stream.avail_out = windowSize;
        const int status = inflate(&stream, Z_NO_FLUSH);
        account(summary, window.data(), windowSize - stream.avail_out, wantCrc, wantAdler);
        if (status == Z_STREAM_END) break;
        if (status != Z_OK && status != Z_BUF_ERROR) return ResultCode::InflateFailed;
        // Out of input before the final block ended: the stream is cut short.
        const bool inputExhausted = stream.avail_in == 0 && remaining == 0;
        if (inputExhausted && stream.avail_out != 0) return ResultCode::InflateFailed;
    }
    summary.consumed = length - remaining - stream.avail_in;
    return ResultCode::Success;
}

ResultCode DeflateVerifier(uint32_t* crcOut, uint8_t* adlerOut, uint64_t* sizeOut, uint64_t length,
                           const uint8_t* data) {
    InflateSummary summary;
    const ResultCode result = inflateStream(data, length, crcOut != nullptr, adlerOut != nullptr, summary);
    if (result != ResultCode::Success) return result;
    if (crcOut) *crcOut = summary.crc32;
    if (adlerOut) storeBe32(adlerOut, summary.adler32);
    if (sizeOut) *sizeOut = summary.size;
    return ResultCode::Success;
}

ResultCode completeCrcAndSize(ConversionJob& job) {
    return DeflateVerifier(&job.crc32, nullptr, &job.uncompressedSize, job.deflateLength, job.deflateData);
}

ResultCode completeAdler32(ConversionJob& job) {
    if (!adlerIsMissing(job)) return ResultCode::Success;
    return DeflateVerifier(nullptr, job.adler32.data(), nullptr, job.deflateLength, job.deflateData);
}

uint32_t updateCrc32(uint32_t crc, const uint8_t* data, uint64_t length) {
    uLong value = crc;
    while (length > 0) {
        const uint64_t piece = length < maxInputPiece ? length : maxInputPiece;
        value = ::crc32(value, data, static_cast<uInt>(piece));
        data += piece;
        length -= piece;
    }
    return static_cast<uint32_t>(value);
}
