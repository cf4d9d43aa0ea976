// PNG files, as far as their image data goes: the zlib stream cut into IDAT chunks. The image
// itself is never decoded, and nothing checks that a stream fits the header it is put behind.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/conversion_job.h"
#include "stream/byte_io.h"

// PNG allows chunk data up to 2^31-1 bytes.
inline constexpr uint64_t pngMaxChunkLength = 0x7FFFFFFF;

// Detection: 89 50; the reader then checks the whole signature.
bool claimsPngContainer(const uint8_t* head, size_t headLength);

// Input mode: joins the data of every IDAT chunk, drops the two zlib header bytes and keeps the
// last four as the Adler-32. Prints the APNG warning when animation chunks are present.
ResultCode readPngContainer(ConversionJob& job, InputFile& input);

// Header mode: keeps the bytes of job.pngHeaderPath in front of its first IDAT chunk (or its
// IEND chunk when it has no image data) in job.pngHeader.
ResultCode readPngHeader(ConversionJob& job);

// Writes pngHeader, the stream as one IDAT chunk (78 DA, stream, Adler-32) and IEND.
ResultCode writePngContainer(ConversionJob& job, ByteWriter& output);

// The writer with the chunk size limit as a parameter: zlib data longer than maxChunkLength is
// spread over as many IDAT chunks as it takes. writePngContainer passes pngMaxChunkLength.
ResultCode writePngContainerSplit(ConversionJob& job, ByteWriter& output, uint64_t maxChunkLength);
