// Byte-level I/O shared by every container: reads that report short reads, writes that
// are checked, and little/big-endian packing. No container touches files or bytes otherwise.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include <sys/types.h>

#include "driver/conversion_job.h"

// ---- reading ----

struct FileCloser {
    void operator()(FILE* file) const;
};

struct InputFile {
    std::unique_ptr<FILE, FileCloser> handle;
    uint64_t size = 0;
    bool readError = false;  // a read failed (not merely ended): an I/O error, or a directory
};

// Opens a file for reading and measures it; gives InputMissing when it can't be opened.
ResultCode openInputFile(const char* path, InputFile& file);

// Reads exactly count bytes at offset; anything less is InputTruncated.
ResultCode readAt(InputFile& file, uint64_t offset, uint8_t* destination, size_t count);

// Reads what is there, up to count bytes, and returns how many were read.
size_t readUpTo(InputFile& file, uint64_t offset, uint8_t* destination, size_t count);

// Replaces buffer with count bytes read at offset. The count is checked against the
// file's size before anything is allocated, so a forged length can't cost memory.
ResultCode readIntoBuffer(InputFile& file, uint64_t offset, uint64_t count, std::vector<uint8_t>& buffer);

// Appends count bytes read at offset to buffer, with the same checks.
ResultCode appendFromFile(InputFile& file, uint64_t offset, uint64_t count, std::vector<uint8_t>& buffer);

// True when count bytes starting at offset lie inside the file.
bool fileHolds(const InputFile& file, uint64_t offset, uint64_t count);

// ---- writing ----

// The low-level write; tests replace it to simulate a failing disk.
using WriteFunction = ssize_t (*)(int fd, const void* data, size_t count);

struct ByteWriter {
    int fd = -1;
    WriteFunction writeFunction = nullptr;  // null means the system's write
    uint64_t bytesWritten = 0;
};

// Writes all count bytes or gives WriteFailed.
ResultCode writeBytes(ByteWriter& writer, const uint8_t* data, uint64_t count);

// A small fixed-size staging area for header fields, so headers need no allocation.
struct FieldBuffer {
    std::array<uint8_t, 128> bytes{};
    size_t length = 0;
    bool overflowed = false;
};

void putByte(FieldBuffer& fields, uint8_t value);
void putBytes(FieldBuffer& fields, const uint8_t* data, size_t count);
void putLe16(FieldBuffer& fields, uint16_t value);
void putLe32(FieldBuffer& fields, uint32_t value);
void putLe64(FieldBuffer& fields, uint64_t value);
void putBe32(FieldBuffer& fields, uint32_t value);

template <size_t N>
void putBytes(FieldBuffer& fields, const std::array<uint8_t, N>& data) {
    putBytes(fields, data.data(), N);
}

ResultCode writeFields(ByteWriter& writer, const FieldBuffer& fields);

// ---- packing ----

uint16_t loadLe16(const uint8_t* bytes);
uint32_t loadLe32(const uint8_t* bytes);
uint64_t loadLe64(const uint8_t* bytes);
uint32_t loadBe32(const uint8_t* bytes);
void storeBe32(uint8_t* bytes, uint32_t value);
