// Shared pieces of the fuzz targets: inputs served from memory through a real descriptor.
#pragma once

#include <cstdint>
#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

#include "io/input_file.h"
#include "stream/stream_check.h"

// An InputFile over the fuzzer's bytes, in an anonymous in-memory file.
inline bool openMemoryInput(const uint8_t* data, size_t size, InputFile& input) {
    input.handle = memfd_create("fuzz-input", MFD_CLOEXEC);
    if (input.handle < 0 || write(input.handle, data, size) != static_cast<ssize_t>(size)) std::abort();
    input.size = size;
    return true;
}

// Reads the bytes with one container's reader and, when that succeeds, checks the stream both
// ways, as every output container would ask.
inline void fuzzReader(const uint8_t* data, size_t size, ResultCode (*read)(InputFile&, InputFindings&),
                       const RegionRules& rules) {
    InputFile input;
    openMemoryInput(data, size, input);
    InputFindings read0;
    if (read(input, read0) != ResultCode::Success) return;
    for (const Extent& extent : read0.region.extents) {
        if (!fileHolds(input, extent.offset, extent.length)) std::abort();  // nothing from beyond the file
    }
    for (const OutputNeeds needs : {OutputNeeds{true, true, false}, OutputNeeds{true, false, false}, OutputNeeds{false, false, true}}) {
        for (const bool verify : {true, false}) {
            InputFindings findings = read0;
            StreamSums sums;
            if (checkStream(input, findings, rules, needs, verify, sums) != ResultCode::Success) continue;
            if (sums.streamLength > findings.region.length) std::abort();
        }
    }
}
