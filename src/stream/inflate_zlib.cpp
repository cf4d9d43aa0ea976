#include <algorithm>
#include <memory>
#include <vector>

#include <zlib.h>

#include "stream/inflate.h"

namespace {

constexpr size_t inputPieceSize = 256 * 1024;
constexpr size_t windowSize = 256 * 1024;

struct InflateEnder {
    void operator()(z_stream* stream) const { inflateEnd(stream); }
};

// The buffers live for the whole run: a batch of small files shouldn't pay for them each time.
std::vector<uint8_t>& inputBuffer() {
    static std::vector<uint8_t> buffer(inputPieceSize);
    return buffer;
}

std::vector<uint8_t>& window() {
    static std::vector<uint8_t> buffer(windowSize);
    return buffer;
}

void account(InflateTotals& totals, const uint8_t* bytes, size_t count, InflateWants wants) {
    totals.produced += count;
    if (wants.crc32) totals.crc32 = updateCrc32(totals.crc32, bytes, count);
    if (wants.adler32) totals.adler32 = updateAdler32(totals.adler32, bytes, count);
}

}  // namespace

ResultCode inflateStream(RegionReader& reader, uint64_t limit, InflateWants wants, InflateTotals& totals) {
    totals = InflateTotals{};
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) return ResultCode::DecompressorInitFailed;
    const std::unique_ptr<z_stream, InflateEnder> guard(&stream);

    std::vector<uint8_t>& input = inputBuffer();
    std::vector<uint8_t>& output = window();
    uint64_t fed = 0;
    for (;;) {
        if (stream.avail_in == 0 && fed < limit) {
            size_t got = 0;
            const ResultCode result = readRegion(reader, input.data(), std::min<uint64_t>(input.size(), limit - fed), got);
            if (failed(result)) return result;
            fed += got;
            stream.next_in = input.data();
            stream.avail_in = static_cast<uInt>(got);
        }
        stream.next_out = output.data();
        stream.avail_out = static_cast<uInt>(output.size());
        const int status = inflate(&stream, Z_NO_FLUSH);
        account(totals, output.data(), output.size() - stream.avail_out, wants);
        if (status == Z_STREAM_END) break;
        if (status != Z_OK && status != Z_BUF_ERROR) return ResultCode::InflateFailed;
        // Out of input, and the window not filled: the stream ends before its final block.
        if (stream.avail_in == 0 && fed == limit && stream.avail_out != 0) return ResultCode::InflateFailed;
    }
    totals.consumed = fed - stream.avail_in;
    return ResultCode::Success;
}
