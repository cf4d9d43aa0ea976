#include <algorithm>
#include <memory>

#include <zlib.h>

#include "stream/inflate.h"

namespace {

struct InflateEnder {
    void operator()(z_stream* stream) const { inflateEnd(stream); }
};

}  // namespace

ResultCode inflateWithZlib(RegionReader& reader, uint64_t limit, InflateWants wants, InflateTotals& totals) {
    z_stream stream{};
    const int started = inflateInit2(&stream, -15);
    if (started != Z_OK) return started == Z_MEM_ERROR ? ResultCode::OutOfMemory : ResultCode::DecompressorInitFailed;
    const std::unique_ptr<z_stream, InflateEnder> guard(&stream);
    const InflateBuffers buffers = inflateBuffers();
    if (!buffers.input) return ResultCode::OutOfMemory;
    uint64_t fed = 0;
    FedDigest digest;
    size_t got = 0;
    for (;;) {
        if (stream.avail_in == 0 && fed < limit) {
            digestFedPiece(digest, buffers.input, got);
            const ResultCode result = readRegion(reader, buffers.input, std::min<uint64_t>(buffers.size, limit - fed), got);
            if (failed(result)) return result;
            // Nothing where the region should go on (the file shrank): never asked again.
            if (got == 0) return ResultCode::InputTruncated;
            fed += got;
            stream.next_in = buffers.input;
            stream.avail_in = static_cast<uInt>(got);
        }
        stream.next_out = buffers.window;
        stream.avail_out = static_cast<uInt>(buffers.size);
        const int status = inflate(&stream, Z_NO_FLUSH);
        account(totals, buffers.window, buffers.size - stream.avail_out, wants);
        if (status == Z_STREAM_END) break;
        if (status == Z_MEM_ERROR) return ResultCode::OutOfMemory;  // its window, made at the first output
        if (status != Z_OK && status != Z_BUF_ERROR) return ResultCode::InflateFailed;
        // Out of input, and the window not filled: the stream ends before its final block.
        if (stream.avail_in == 0 && fed == limit && stream.avail_out != 0) return ResultCode::InflateFailed;
    }
    totals.consumed = fed - stream.avail_in;
    totals.streamCrc32 = digestStreamEnd(digest, buffers.input, got, totals.consumed);
    return ResultCode::Success;
}
