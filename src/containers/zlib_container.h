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

// Output: the head, before the stream, is always 78 DA; the tail, after it, the Adler-32.
ResultCode writeZlibHead(const OutputFacts& facts, OutputFile& output);
ResultCode writeZlibTail(const OutputFacts& facts, OutputFile& output);
