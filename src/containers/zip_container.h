// ZIP archives: the first entry of an archive is read; archives of one entry are written
// (local header, data, central directory header, end record), with ZIP64 records only
// when a size or offset doesn't fit 32 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "driver/conversion_job.h"
#include "stream/byte_io.h"

// Detection: 50 4B. The reader itself insists on 50 4B 03 04 (a local header first).
bool claimsZipContainer(const uint8_t* head, size_t headLength);

// Loads the first entry: method 0 or 8, not encrypted. CRC-32 and sizes come from the central
// directory when the entry has a data descriptor, and from ZIP64 extra fields where the 32-bit
// fields read FF FF FF FF. Anything the file doesn't hold gives InputTruncated.
ResultCode readZipContainer(ConversionJob& job, InputFile& input);

// Writes a one-entry archive. A stored entry (method 0) stays stored: its missing CRC-32 and
// size are taken from its bytes as they are; otherwise they come from inflating the stream.
ResultCode writeZipContainer(ConversionJob& job, ByteWriter& output);

// An entry name as ZIP allows it: without leading "/" and without ".." segments.
std::vector<uint8_t> cleanZipName(const std::vector<uint8_t>& name);
