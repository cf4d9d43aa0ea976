#include "stream/byte_sink.h"

#include <algorithm>
#include <vector>

#include "stream/stored_blocks.h"

namespace {

ResultCode putIntoFile(void* context, const uint8_t* data, size_t count) {
    return writeBytes(*static_cast<OutputFile*>(context), data, count);
}

ResultCode passThrough(RegionReader& stream, uint64_t length, ByteSink& sink) {
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(length, 256 * 1024)));
    while (length > 0) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, buffer.size()));
        ResultCode result = readRegionExactly(stream, buffer.data(), piece);
        if (!failed(result)) result = putBytes(sink, buffer.data(), piece);
        if (failed(result)) return result;
        length -= piece;
    }
    return ResultCode::Success;
}

}  // namespace

ByteSink fileSink(OutputFile& file) {
    return ByteSink{putIntoFile, &file, &file};
}

ResultCode putBytes(ByteSink& sink, const uint8_t* data, size_t count) {
    return sink.put(sink.context, data, count);
}

ResultCode writeStream(RegionReader& stream, const OutputFacts& facts, ByteSink& sink) {
    if (facts.framedAsStoredBlocks) return writeStoredBlocks(stream, facts.payloadLength, sink);
    if (sink.file) return copyRegion(stream, facts.streamLength, *sink.file);
    return passThrough(stream, facts.streamLength, sink);
}
