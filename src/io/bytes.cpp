#include "io/bytes.h"

#include <cstdlib>
#include <cstring>

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
