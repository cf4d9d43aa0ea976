// ZLIB stream files: 78 01 or 78 DA, the raw DEFLATE stream, the Adler-32 big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/conversion_job.h"
#include "stream/byte_io.h"

// Detection: 78 01 and 78 DA only (no preset dictionary, and the two levels written here).
bool claimsZlibContainer(const uint8_t* head, size_t headLength);

ResultCode readZlibContainer(ConversionJob& job, InputFile& input);

// Always writes the header 78 DA; the Adler-32 is carried, or computed when missing.
ResultCode writeZlibContainer(ConversionJob& job, ByteWriter& output);
