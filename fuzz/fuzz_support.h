// Shared pieces of the fuzz targets: inputs served from memory, outputs thrown away.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>

#include "driver/conversion_job.h"
#include "stream/byte_io.h"
#include "stream/checksum_check.h"

// An InputFile over the fuzzer's bytes; false when there is nothing to serve.
inline bool openMemoryInput(const uint8_t* data, size_t size, InputFile& input) {
    if (size == 0) return false;
    input.handle.reset(fmemopen(const_cast<uint8_t*>(data), size, "rb"));
    input.size = size;
    return input.handle != nullptr;
}

inline ByteWriter discardingWriter() {
    static const int devNull = open("/dev/null", O_WRONLY);
    return ByteWriter{devNull, nullptr, 0};
}

// Reads the bytes with one container's reader and, when that succeeds, checks the stream and
// writes it back through the same container's writer, so the whole path is exercised.
inline void fuzzContainer(const uint8_t* data, size_t size, ResultCode (*read)(ConversionJob&, InputFile&),
                          ResultCode (*write)(ConversionJob&, ByteWriter&), FormatCode format) {
    InputFile input;
    if (!openMemoryInput(data, size, input)) return;
    ConversionJob job;
    job.inputFormat = format;
    job.inputFileSize = input.size;
    job.inputPath = "fuzz-input";
    if (read(job, input) != ResultCode::Success) return;
    if (job.deflateLength > input.size) std::abort();  // nothing may come from beyond the file
    verifyCarriedChecksums(job);
    ByteWriter writer = discardingWriter();
    if (write(job, writer) == ResultCode::Success && writer.bytesWritten < job.deflateLength) std::abort();
}
