#include "io/region_reader.h"

#include <algorithm>
#include <array>
#include <vector>

#include "io/bytes.h"

namespace {

void restart(RegionReader& reader) {
    reader.extentIndex = 0;
    reader.ended = reader.extents->empty();
    reader.current = reader.ended ? Extent{} : reader.extents->front();
    reader.offsetInExtent = 0;
    reader.position = 0;
}

// Steps to the next piece: the next in the list, else the one the walk finds.
ResultCode stepToNextExtent(RegionReader& reader) {
    reader.offsetInExtent = 0;
    if (++reader.extentIndex < reader.extents->size()) {
        reader.current = (*reader.extents)[reader.extentIndex];
        return ResultCode::Success;
    }
    bool found = false;
    Extent next;
    const ResultCode result = reader.walk ? reader.walk(*reader.file, reader.window, reader.current, next, found) : ResultCode::Success;
    reader.ended = !found;
    if (found) reader.current = next;
    return result;
}

// The next stretch of the current piece, up to limit bytes (empty at the region's end); pieces
// used up, empty ones too, are stepped over.
ResultCode nextStretch(RegionReader& reader, uint64_t limit, Extent& stretch) {
    stretch = Extent{};
    while (!reader.ended && reader.offsetInExtent == reader.current.length) {
        const ResultCode result = stepToNextExtent(reader);
        if (failed(result)) return result;
    }
    if (reader.ended) return ResultCode::Success;
    stretch = Extent{reader.current.offset + reader.offsetInExtent, std::min(limit, reader.current.length - reader.offsetInExtent)};
    return ResultCode::Success;
}

void advance(RegionReader& reader, uint64_t count) {
    reader.offsetInExtent += count;
    reader.position += count;
}

}  // namespace

RegionReader regionReader(InputFile& file, const std::vector<Extent>& extents, NextExtent walk) {
    RegionReader reader;
    reader.file = &file;
    reader.extents = &extents;
    reader.walk = walk;
    restart(reader);
    return reader;
}

ResultCode seekRegion(RegionReader& reader, uint64_t position) {
    if (position < reader.position) restart(reader);
    while (reader.position < position) {
        Extent stretch;
        const ResultCode result = nextStretch(reader, position - reader.position, stretch);
        if (failed(result) || stretch.length == 0) return result;
        advance(reader, stretch.length);
    }
    return ResultCode::Success;
}

ResultCode readRegion(RegionReader& reader, uint8_t* destination, size_t count, size_t& got) {
    got = 0;
    while (got < count) {
        Extent stretch;
        ResultCode result = nextStretch(reader, count - got, stretch);
        if (failed(result)) return result;
        if (stretch.length == 0) break;
        result = readThroughWindow(*reader.file, reader.window, stretch.offset, destination + got, stretch.length);
        if (failed(result)) return result;
        advance(reader, stretch.length);
        got += static_cast<size_t>(stretch.length);
    }
    if (reader.watch.see) reader.watch.see(reader.watch.context, destination, got);
    if (reader.progress.report) reader.progress.report(reader.progress.context, reader.position, reader.progress.total);
    return ResultCode::Success;
}

ResultCode readRegionExactly(RegionReader& reader, uint8_t* destination, size_t count) {
    size_t got = 0;
    const ResultCode result = readRegion(reader, destination, count, got);
    if (failed(result)) return result;
    return got == count ? ResultCode::Success : ResultCode::InputTruncated;
}

namespace {

// Shorter pieces are copied through this process rather than by the system, a call each.
constexpr uint64_t shortestPieceCopiedInSystem = 64 * 1024;

// Reads count bytes into a bounded buffer and writes them out, a buffer at a time.
ResultCode copyByReading(RegionReader& reader, uint64_t count, OutputFile& output) {
    std::vector<uint8_t> buffer;
    ResultCode result = allocateBuffer(buffer, static_cast<size_t>(std::min<uint64_t>(count, copyBufferSize)));
    while (count > 0 && !failed(result)) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, buffer.size()));
        result = readRegionExactly(reader, buffer.data(), piece);
        if (!failed(result)) result = writeBytes(output, buffer.data(), piece);
        count -= piece;
    }
    return result;
}

}  // namespace

ResultCode copyRegion(RegionReader& reader, uint64_t count, OutputFile& output) {
    if (reader.watch.see) return copyByReading(reader, count, output);
    while (count > 0) {
        Extent stretch;
        ResultCode result = nextStretch(reader, count, stretch);
        if (failed(result)) return result;
        if (stretch.length == 0) return ResultCode::InputTruncated;
        // A region of short pieces (a PNG's small IDAT chunks) would cost a system call per
        // piece: it is gathered through a buffer instead.
        if (stretch.length < count && stretch.length < shortestPieceCopiedInSystem) {
            return copyByReading(reader, count, output);
        }
        result = copyFromInput(output, *reader.file, stretch.offset, stretch.length);
        if (failed(result)) return result;
        advance(reader, stretch.length);
        count -= stretch.length;
    }
    return ResultCode::Success;
}
