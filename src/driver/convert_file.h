// Converting one input file: detection, reading, the no-overwrite rule, writing.
#pragma once

#include <string>

#include "driver/conversion_job.h"
#include "stream/byte_io.h"

// What the command line decided; it carries over from one input file to the next.
struct DriverSettings {
    FormatCode outputFormat = FormatCode::Zip;
    const char* pngHeaderPath = nullptr;
    bool verify = false;  // --verify: check the stream against its carried checksums first
    WriteFunction writeFunction = nullptr;  // null means the system's write
};

// The input path with the output format's extension appended.
std::string outputPathFor(const char* inputPath, FormatCode outputFormat);

// The stored name derived from an input path: the path up to its last dot, where a dot in
// the first position doesn't count.
std::vector<uint8_t> storedNameFromPath(const char* inputPath);

// Converts inputPath completely, leaving what it found in job (for the result line).
ResultCode convertFile(const char* inputPath, const DriverSettings& settings, ConversionJob& job);
