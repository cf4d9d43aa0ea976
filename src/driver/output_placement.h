// Putting the checked output in place: the early copy finished, or the output written anew from the
// input, its stream held against the one checked.
#pragma once

#include <optional>
#include <string>

#include "containers/png_container.h"
#include "core/conversion.h"
#include "driver/convert_file.h"
#include "driver/early_copy.h"
#include "io/input_file.h"
#include "io/region_reader.h"
#include "stream/stream_check.h"

struct OutputContainer {
    FormatCode format;
    const char* extension;
    OutputNeeds needs;
    // What comes before and after the stream; null where the layout depends on the stream's bytes
    // (PNG sums them into its chunks' CRCs) and write does it all.
    WriteFrame writeHead;
    WriteFrame writeTail;
    ResultCode (*write)(const OutputFacts& facts, PngHeader& header, RegionReader& stream, OutputFile& output);
};

// Where the output goes, and how.
struct OutputPlace {
    const std::string& path;
    OutputTarget target;
    const DriverSettings& settings;
};

// Puts the early copy in place, or writes the output anew where it can't be finished; stream reads
// the input's data region from its start.
ResultCode putOutputInPlace(const OutputContainer& output, const OutputFacts& facts, InputFile& input, RegionReader stream,
                            PngHeader& header, const OutputPlace& place, const StreamSums& sums,
                            std::optional<EarlyCopy>& early);
