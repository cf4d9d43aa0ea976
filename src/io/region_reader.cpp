#include "io/region_reader.h"

#include <algorithm>
#include <array>

RegionReader regionReader(InputFile& file, const std::vector<Extent>& extents) {
    RegionReader reader;
    reader.file = &file;
    reader.extents = &extents;
    return reader;
}

void seekRegion(RegionReader& reader, uint64_t position) {
    reader.extentIndex = 0;
    reader.offsetInExtent = 0;
    reader.position = 0;
    const std::vector<Extent>& extents = *reader.extents;
    while (reader.extentIndex < extents.size() && position - reader.position >= extents[reader.extentIndex].length) {
        reader.position += extents[reader.extentIndex].length;
        ++reader.extentIndex;
    }
    if (reader.extentIndex < extents.size()) {
        reader.offsetInExtent = position - reader.position;
        reader.position = position;
    }
}

namespace {

// The next stretch of the current extent, up to limit bytes; an empty extent is stepped over.
Extent nextStretch(RegionReader& reader, uint64_t limit) {
    const std::vector<Extent>& extents = *reader.extents;
    while (reader.extentIndex < extents.size() && reader.offsetInExtent == extents[reader.extentIndex].length) {
        ++reader.extentIndex;
        reader.offsetInExtent = 0;
    }
    if (reader.extentIndex == extents.size()) return Extent{};
    const Extent& extent = extents[reader.extentIndex];
    return Extent{extent.offset + reader.offsetInExtent, std::min(limit, extent.length - reader.offsetInExtent)};
}

void advance(RegionReader& reader, uint64_t count) {
    reader.offsetInExtent += count;
    reader.position += count;
}

}  // namespace

ResultCode readRegion(RegionReader& reader, uint8_t* destination, size_t count, size_t& got) {
    got = 0;
    while (got < count) {
        const Extent stretch = nextStretch(reader, count - got);
        if (stretch.length == 0) break;
        const ResultCode result = readAt(*reader.file, stretch.offset, destination + got, stretch.length);
        if (failed(result)) return result;
        advance(reader, stretch.length);
        got += static_cast<size_t>(stretch.length);
    }
    if (reader.progress.report) reader.progress.report(reader.progress.context, reader.position, reader.progress.total);
    return ResultCode::Success;
}

ResultCode readRegionExactly(RegionReader& reader, uint8_t* destination, size_t count) {
    size_t got = 0;
    const ResultCode result = readRegion(reader, destination, count, got);
    if (failed(result)) return result;
    return got == count ? ResultCode::Success : ResultCode::InputTruncated;
}

ResultCode copyRegion(RegionReader& reader, uint64_t count, OutputFile& output) {
    while (count > 0) {
        const Extent stretch = nextStretch(reader, count);
        if (stretch.length == 0) return ResultCode::InputTruncated;
        const ResultCode result = copyFromInput(output, *reader.file, stretch.offset, stretch.length);
        if (failed(result)) return result;
        advance(reader, stretch.length);
        count -= stretch.length;
    }
    return ResultCode::Success;
}
