// Converting one input file, step by step: detect and read the input, read the header PNG, apply
// the no-overwrite rule, check the stream, check that the header fits it, write. The first step
// that fails decides the result.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "core/result_code.h"
#include "driver/console.h"

// What the command line decided; it carries over from one input file to the next.
struct DriverSettings {
    FormatCode outputFormat = FormatCode::Zip;
    const char* pngHeaderPath = nullptr;
    bool verify = true;       // --no-verify turns it off
    bool flushToDisk = true;  // --no-sync turns it off
    std::optional<std::string> entryName;  // --entry: the ZIP file entry to convert
};

// What the console shows of one file: a progress line while it takes long, then the warnings and
// the result line.
struct FileReport {
    std::string outputPath;
    std::vector<std::string> warnings;
    ProgressLine progress;
};

// The input path with the output format's extension appended (ZIP's for an unknown format).
std::string outputPathFor(const std::string& inputPath, FormatCode outputFormat);

// The stored name derived from an input path: the path in the containers' form (io/path_names.h)
// up to its last dot, where a dot in the first position doesn't count.
std::vector<uint8_t> storedNameFromPath(const std::string& inputPath);

// report.outputPath must already hold outputPathFor(inputPath, settings.outputFormat).
ResultCode convertFile(const std::string& inputPath, const DriverSettings& settings, FileReport& report);
