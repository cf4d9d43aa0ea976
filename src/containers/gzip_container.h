// GZIP files of one member: header (with an optional FNAME), the raw DEFLATE stream, then
// CRC-32 and ISIZE. The trailer is always taken from the last eight bytes of the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/conversion_job.h"
#include "stream/byte_io.h"

// Detection: 1F 8B.
bool claimsGzipContainer(const uint8_t* head, size_t headLength);

// Validates CM (0-4 or 8) and FLG (00 or 08 only, so no other optional field needs
// parsing). A file that ends before CM counts as a bad method, before FLG as bad flags.
ResultCode checkGzipHeader(ConversionJob& job, InputFile& input);

// Runs checkGzipHeader, then loads the trailer, MTIME, FNAME and the stream.
ResultCode readGzipContainer(ConversionJob& job, InputFile& input);

// Writes FLG 08 with the stored name for GzipWithName, FLG 00 otherwise. Missing CRC-32 or
// size is computed from the stream, a missing time becomes the present time.
ResultCode writeGzipContainer(ConversionJob& job, ByteWriter& output);
