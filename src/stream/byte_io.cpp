#include "stream/byte_io.h"

#include <cerrno>
#include <limits>
#include <new>

#include <unistd.h>

void FileCloser::operator()(FILE* file) const {
    if (file) std::fclose(file);
}

ResultCode openInputFile(const char* path, InputFile& file) {
    file.handle.reset(std::fopen(path, "rb"));
    if (!file.handle) return ResultCode::InputMissing;
    FILE* handle = file.handle.get();
    if (fseeko(handle, 0, SEEK_END) != 0) return ResultCode::InputTruncated;
    const off_t end = ftello(handle);
    if (end < 0) return ResultCode::InputTruncated;
    file.size = static_cast<uint64_t>(end);
    return ResultCode::Success;
}

bool fileHolds(const InputFile& file, uint64_t offset, uint64_t count) {
    return offset <= file.size && count <= file.size - offset;
}

size_t readUpTo(InputFile& file, uint64_t offset, uint8_t* destination, size_t count) {
    if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return 0;
    FILE* handle = file.handle.get();
    if (fseeko(handle, static_cast<off_t>(offset), SEEK_SET) != 0) return 0;
    const size_t read = std::fread(destination, 1, count, handle);
    if (read < count && std::ferror(handle)) {
        file.readError = true;
        std::clearerr(handle);
    }
    return read;
}

ResultCode readAt(InputFile& file, uint64_t offset, uint8_t* destination, size_t count) {
    if (!fileHolds(file, offset, count)) return ResultCode::InputTruncated;
    if (readUpTo(file, offset, destination, count) != count) return ResultCode::InputTruncated;
    return ResultCode::Success;
}

ResultCode appendFromFile(InputFile& file, uint64_t offset, uint64_t count, std::vector<uint8_t>& buffer) {
    if (!fileHolds(file, offset, count)) return ResultCode::InputTruncated;
    if (count > buffer.max_size() - buffer.size()) return ResultCode::OutOfMemory;
    const size_t start = buffer.size();
    try {
        buffer.resize(start + static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
    const ResultCode result = readAt(file, offset, buffer.data() + start, static_cast<size_t>(count));
    if (result != ResultCode::Success) buffer.resize(start);
    return result;
}

ResultCode readIntoBuffer(InputFile& file, uint64_t offset, uint64_t count, std::vector<uint8_t>& buffer) {
    buffer.clear();
    return appendFromFile(file, offset, count, buffer);
}

ResultCode writeBytes(ByteWriter& writer, const uint8_t* data, uint64_t count) {
    const WriteFunction writeFunction = writer.writeFunction ? writer.writeFunction : ::write;
    // Large writes go in pieces: some systems cap a single write well below SIZE_MAX.
    constexpr uint64_t maxPiece = uint64_t{1} << 30;
    while (count > 0) {
        const size_t piece = static_cast<size_t>(count < maxPiece ? count : maxPiece);
        const ssize_t written = writeFunction(writer.fd, data, piece);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return ResultCode::WriteFailed;
        data += written;
        count -= static_cast<uint64_t>(written);
        writer.bytesWritten += static_cast<uint64_t>(written);
    }
    return ResultCode::Success;
}

void putBytes(FieldBuffer& fields, const uint8_t* data, size_t count) {
    if (count > fields.bytes.size() - fields.length) {
        fields.overflowed = true;
        return;
    }
    for (size_t i = 0; i < count; ++i) fields.bytes[fields.length++] = data[i];
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

ResultCode writeFields(ByteWriter& writer, const FieldBuffer& fields) {
    if (fields.overflowed) return ResultCode::Unknown;
    return writeBytes(writer, fields.bytes.data(), fields.length);
}

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
