// Arbitrary bytes as a raw DEFLATE stream: the walker gives zlib's verdict, output length and end
// bit, and reports a block start wherever zlib's inflate stops between blocks (Z_BLOCK).
#include <algorithm>
#include <vector>

#include "fuzz_support.h"
#include "stream/deflate_walk.h"
#include "support/zlib_reference.h"

namespace {

void recordBlock(void* context, uint64_t headerBit, bool) {
    static_cast<std::vector<uint64_t>*>(context)->push_back(headerBit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputFile input;
    openMemoryInput(data, size, input);
    const std::vector<Extent> extents = {Extent{0, size}};
    RegionReader reader = regionReader(input, extents);
    DeflateWalk walk;
    std::vector<uint64_t> starts;
    const bool accepted = walkDeflate(reader, size, walk, BlockReport{recordBlock, &starts}) == ResultCode::Success;
    const ZlibVerdict zlib = zlibVerdict(data, size);
    if (accepted != zlib.accepted || walk.produced != zlib.produced) std::abort();
    // Where either stops early, the block starts both reached agree.
    if (!starts.empty()) starts.erase(starts.begin());
    const size_t agreeing = std::min(starts.size(), zlib.blockStarts.size());
    if (!std::equal(starts.begin(), starts.begin() + agreeing, zlib.blockStarts.begin())) std::abort();
    if (!accepted) return 0;
    const uint64_t finalHeader = starts.empty() ? 0 : starts.back();
    if (starts != zlib.blockStarts || walk.endBit != zlib.endBit || walk.finalHeaderBit != finalHeader) std::abort();
    return 0;
}
