// Reads a run of extents of one file as if they were one sequence of bytes: a container's data
// region, wherever its pieces lie. Reading goes in pieces the caller sizes, so memory stays flat.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/conversion.h"
#include "io/input_file.h"
#include "io/output_file.h"

// Told, after every read, how many bytes of the region have been read so far, of total.
struct ReadProgress {
    void (*report)(void* context, uint64_t done, uint64_t total) = nullptr;
    void* context = nullptr;
    uint64_t total = 0;
};

struct RegionReader {
    InputFile* file = nullptr;
    const std::vector<Extent>* extents = nullptr;
    size_t extentIndex = 0;
    uint64_t offsetInExtent = 0;
    uint64_t position = 0;  // from the region's start
    ReadProgress progress;
};

RegionReader regionReader(InputFile& file, const std::vector<Extent>& extents);

// Moves to position bytes from the region's start (at most its end).
void seekRegion(RegionReader& reader, uint64_t position);

// Reads up to count bytes; got is less than count only at the region's end.
ResultCode readRegion(RegionReader& reader, uint8_t* destination, size_t count, size_t& got);

// Reads exactly count bytes; InputTruncated when the region ends first.
ResultCode readRegionExactly(RegionReader& reader, uint8_t* destination, size_t count);

// Copies count bytes from the current position to output.
ResultCode copyRegion(RegionReader& reader, uint64_t count, OutputFile& output);
