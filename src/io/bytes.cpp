#include "io/bytes.h"

#include <cstdlib>
#include <cstring>
#include <new>

uint16_t loadLe16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

uint32_t loadLe32(const uint8_t* bytes) {
    return loadLe16(bytes) | (static_cast<uint32_t>(loadLe16(bytes + 2)) << 16);
}

uint64_t loadLe64(const uint8_t* bytes) {
    return loadLe32(bytes) | (static_cast<uint64_t>(loadLe32(bytes + 4)) << 32);
}

uint32_t loadBe32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

void storeBe32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

void putBytes(FieldBuffer& fields, const uint8_t* data, size_t count) {
    if (count > fields.bytes.size() - fields.length) std::abort();
    std::memcpy(fields.bytes.data() + fields.length, data, count);
    fields.length += count;
}

void putByte(FieldBuffer& fields, uint8_t value) {
    putBytes(fields, &value, 1);
}

void putLe16(FieldBuffer& fields, uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    putBytes(fields, bytes, 2);
}

void putLe32(FieldBuffer& fields, uint32_t value) {
    putLe16(fields, static_cast<uint16_t>(value));
    putLe16(fields, static_cast<uint16_t>(value >> 16));
}

void putLe64(FieldBuffer& fields, uint64_t value) {
    putLe32(fields, static_cast<uint32_t>(value));
    putLe32(fields, static_cast<uint32_t>(value >> 32));
}

void putBe32(FieldBuffer& fields, uint32_t value) {
    uint8_t bytes[4];
    storeBe32(bytes, value);
    putBytes(fields, bytes, 4);
}

ResultCode writeFields(OutputFile& output, const FieldBuffer& fields) {
    return writeBytes(output, fields.bytes.data(), fields.length);
}

size_t decodeUtf8(const uint8_t* text, size_t length, uint32_t& codePoint) {
    if (length == 0) return 0;
    const uint8_t lead = text[0];
    const size_t size = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (size == 0 || length < size) return 0;
    uint32_t value = size == 1 ? lead : lead & (0x7Fu >> size);
    for (size_t k = 1; k < size; ++k) {
        if ((text[k] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (text[k] & 0x3Fu);
    }
    const uint32_t smallest = size == 1 ? 0 : size == 2 ? 0x80 : size == 3 ? 0x800 : 0x10000;
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    codePoint = value;
    return size;
}

ResultCode allocateBuffer(std::vector<uint8_t>& buffer, size_t size) {
    try {
        buffer.resize(size);
        return ResultCode::Success;
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}
