// Packing and unpacking of little- and big-endian fields, and a small fixed buffer in which
// headers are staged so that writing one needs no allocation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/result_code.h"
#include "io/output_file.h"

uint16_t loadLe16(const uint8_t* bytes);
uint32_t loadLe32(const uint8_t* bytes);
uint64_t loadLe64(const uint8_t* bytes);
uint32_t loadBe32(const uint8_t* bytes);
void storeBe32(uint8_t* bytes, uint32_t value);

struct FieldBuffer {
    std::array<uint8_t, 128> bytes{};
    size_t length = 0;
};

// Headers are fixed-size records far below the buffer's capacity; anything more is a bug.
void putBytes(FieldBuffer& fields, const uint8_t* data, size_t count);
void putByte(FieldBuffer& fields, uint8_t value);
void putLe16(FieldBuffer& fields, uint16_t value);
void putLe32(FieldBuffer& fields, uint32_t value);
void putLe64(FieldBuffer& fields, uint64_t value);
void putBe32(FieldBuffer& fields, uint32_t value);

template <size_t N>
void putBytes(FieldBuffer& fields, const std::array<uint8_t, N>& data) {
    putBytes(fields, data.data(), N);
}

ResultCode writeFields(OutputFile& output, const FieldBuffer& fields);

// Sizes buffer to size bytes: OutOfMemory, not an exception, where they can't be had.
ResultCode allocateBuffer(std::vector<uint8_t>& buffer, size_t size);

// The length of the well-formed UTF-8 character at text (no overlong forms, surrogates or values
// past U+10FFFF), its value in codePoint; 0 where the bytes are no such character.
size_t decodeUtf8(const uint8_t* text, size_t length, uint32_t& codePoint);
