// GZIP files: one member or several, each a header (with any of FEXTRA, FNAME, FCOMMENT, FHCRC),
// a raw DEFLATE stream, then CRC-32 and ISIZE. The check joins the members' streams into one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/conversion.h"
#include "io/input_file.h"
#include "io/output_file.h"
#include "io/region_reader.h"
#include "stream/stream_check.h"

bool claimsGzipContainer(const uint8_t* head, size_t headLength);

// CM must be 0-4 or 8 and FLG's reserved bits clear; a file that ends before CM counts as a bad
// method, before FLG as bad flags. The data region runs from the end of the first member's header to
// the end of the file; name and time are the first member's.
ResultCode readGzipContainer(InputFile& input, InputFindings& findings);

// The trailer (CRC-32, ISIZE), and the members behind it.
extern const RegionRules gzipRegionRules;

// Output: the head, before the stream, has FLG 08 and the name's last path component for
// GzipWithName, FLG 00 otherwise; the tail, after the stream, is CRC-32 and ISIZE.
ResultCode writeGzipHead(const OutputFacts& facts, OutputFile& output);
ResultCode writeGzipTail(const OutputFacts& facts, OutputFile& output);
