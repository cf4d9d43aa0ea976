// ZLIB stream files: a zlib header, the raw DEFLATE stream, the Adler-32 big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/conversion.h"
#include "io/input_file.h"
#include "io/output_file.h"
#include "io/region_reader.h"
#include "containers/zlib_framing.h"  // zlibRegionRules

bool claimsZlibContainer(const uint8_t* head, size_t headLength);

ResultCode readZlibContainer(InputFile& input, InputFindings& findings);

// Always writes the header 78 DA. The head (what comes before the stream) and the tail (what comes
// after it) can also be written on their own.
ResultCode writeZlibContainer(const OutputFacts& facts, RegionReader& stream, OutputFile& output);
ResultCode writeZlibHead(const OutputFacts& facts, OutputFile& output);
ResultCode writeZlibTail(const OutputFacts& facts, OutputFile& output);
