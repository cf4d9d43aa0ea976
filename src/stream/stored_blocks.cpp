#include "stream/stored_blocks.h"

#include <algorithm>
#include <array>

#include "io/bytes.h"
#include "stream/deflate_walk.h"

namespace {

constexpr uint64_t blockHeaderLength = 5;

uint64_t blockCount(uint64_t length) {
    return length == 0 ? 1 : (length + maxStoredBlockLength - 1) / maxStoredBlockLength;
}

}  // namespace

uint64_t storedBlocksLength(uint64_t length) {
    return length + blockCount(length) * blockHeaderLength;
}

ResultCode writeStoredBlocks(RegionReader& data, uint64_t length, ByteSink& sink, bool last) {
    std::array<uint8_t, blockHeaderLength + maxStoredBlockLength> block{};
    uint64_t remaining = length;
    do {
        const uint16_t piece = static_cast<uint16_t>(std::min(remaining, maxStoredBlockLength));
        const std::array<uint8_t, blockHeaderLength> header = storedBlockHeader(piece, piece == remaining && last);
        std::copy(header.begin(), header.end(), block.begin());
        ResultCode result = readRegionExactly(data, block.data() + blockHeaderLength, piece);
        if (!failed(result)) result = putBytes(sink, block.data(), blockHeaderLength + piece);
        if (failed(result)) return result;
        remaining -= piece;
    } while (remaining > 0);
    return ResultCode::Success;
}
