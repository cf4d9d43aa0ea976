// GZIP files of one member: header (with an optional FNAME), the raw DEFLATE stream, then CRC-32
// and ISIZE. Only FLG 00 and 08 are read, so no other optional field needs parsing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/conversion.h"
#include "io/input_file.h"
#include "io/output_file.h"
#include "io/region_reader.h"
#include "stream/stream_check.h"

bool claimsGzipContainer(const uint8_t* head, size_t headLength);

// CM must be 0-4 or 8 and FLG 00 or 08; a file that ends before CM counts as a bad method,
// before FLG as bad flags. The data region runs from the end of the header to the end of the file.
ResultCode readGzipContainer(InputFile& input, InputFindings& findings);

// The trailer (CRC-32, ISIZE), and a second member behind it, which is refused.
extern const RegionRules gzipRegionRules;

// Output: the head, before the stream, has FLG 08 and the name's last path component for
// GzipWithName, FLG 00 otherwise; the tail, after the stream, is CRC-32 and ISIZE.
ResultCode writeGzipHead(const OutputFacts& facts, OutputFile& output);
ResultCode writeGzipTail(const OutputFacts& facts, OutputFile& output);
