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

// Shown every byte read through a reader, in order (to sum what was read); a reader watched this
// way copies through a buffer of this process, never inside the system.
struct ReadWatch {
    void (*see)(void* context, const uint8_t* bytes, size_t count) = nullptr;
    void* context = nullptr;
};

// The piece of a region that follows `previous` in the file, for a region whose pieces are found by
// walking the file (a PNG's IDAT chunks) rather than held in a list, so that memory doesn't grow with
// their number. found is false at the region's end. The walk reads through the reader's window.
using NextExtent = ResultCode (*)(InputFile& file, ReadWindow& window, const Extent& previous, Extent& next, bool& found);

struct RegionReader {
    InputFile* file = nullptr;
    const std::vector<Extent>* extents = nullptr;  // the region's first pieces, or all of them
    NextExtent walk = nullptr;                     // finds the pieces after the list, if any
    size_t extentIndex = 0;
    Extent current;
    bool ended = false;
    uint64_t offsetInExtent = 0;
    uint64_t position = 0;  // from the region's start
    ReadProgress progress;
    ReadWatch watch;
    // Short pieces and the walk's reads are served from here. Each reader has its own, so a reader
    // made for writing an output reads the file afresh, and readers on two threads share nothing.
    ReadWindow window;
    // How many bytes from here whoever reads expects to need, where something hints it (0: not
    // known); only a hint for the size of a first read, never a limit.
    uint64_t expected = 0;
};

RegionReader regionReader(InputFile& file, const std::vector<Extent>& extents, NextExtent walk = nullptr);

// Moves to position bytes from the region's start (at most its end).
ResultCode seekRegion(RegionReader& reader, uint64_t position);

// Reads up to count bytes; got is less than count only at the region's end.
ResultCode readRegion(RegionReader& reader, uint8_t* destination, size_t count, size_t& got);

// Reads exactly count bytes; InputTruncated when the region ends first.
ResultCode readRegionExactly(RegionReader& reader, uint8_t* destination, size_t count);

// Copies count bytes from the current position to output.
ResultCode copyRegion(RegionReader& reader, uint64_t count, OutputFile& output);
