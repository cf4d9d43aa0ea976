#include "containers/zip_container.h"

#include <algorithm>
#include <array>

#include "stream/deflate_verifier.h"
#include "stream/stored_blocks.h"
#include "stream/timestamp.h"

namespace {

constexpr uint64_t localHeaderLength = 30;
constexpr uint64_t centralHeaderLength = 46;
constexpr uint64_t endRecordLength = 22;
constexpr uint64_t maxEndCommentLength = 65535;
constexpr uint64_t zip64LocatorLength = 20;
constexpr uint64_t zip64EndRecordLength = 56;
constexpr uint64_t zip64SizesExtraLength = 20;  // id, length, uncompressed and compressed size
constexpr uint64_t maxNameLength = 65535;

// The signatures open the fixed prefixes; the versions and flags after them vary here
// (ZIP64 needs version 45, a UTF-8 name flag bit 11), so they are written field by field.
constexpr std::array<uint8_t, 4> localSignature = {zipLocalPrefix[0], zipLocalPrefix[1], zipLocalPrefix[2],
                                                   zipLocalPrefix[3]};
constexpr std::array<uint8_t, 4> centralSignature = {zipCentralPrefix[0], zipCentralPrefix[1], zipCentralPrefix[2],
                                                     zipCentralPrefix[3]};
constexpr std::array<uint8_t, 4> zip64EndSignature = {0x50, 0x4B, 0x06, 0x06};
constexpr std::array<uint8_t, 4> zip64LocatorSignature = {0x50, 0x4B, 0x06, 0x07};

constexpr uint16_t zip64ExtraId = 0x0001;
constexpr uint32_t zip64Marker = 0xFFFFFFFF;
constexpr uint16_t flagEncrypted = 0x0001;
constexpr uint16_t flagDataDescriptor = 0x0008;
constexpr uint16_t flagUtf8Name = 0x0800;
constexpr uint16_t flagsWritten = 0x0002;
constexpr uint16_t versionPlain = 20;
constexpr uint16_t versionZip64 = 45;
constexpr uint32_t archiveAttribute = 0x20;
constexpr uint16_t methodStored = 0;
constexpr uint16_t methodDeflate = 8;
// DEFLATE can't expand data more than about 1032 to 1, so a shorter stream inflates to less
// than 4 GiB and a GZIP ISIZE (the size modulo 2^32) is then the whole size.
constexpr uint64_t longestStreamWithExactIsize = 0xFFFFFFFFu / 1032;

struct EntrySizes {
    uint32_t crc32 = 0;
    uint64_t compressed = 0;
    uint64_t uncompressed = 0;
};

template <size_t N>
bool startsWith(const uint8_t* bytes, const std::array<uint8_t, N>& signature) {
    return std::equal(signature.begin(), signature.end(), bytes);
}

// Replaces the sizes marked FF FF FF FF with the 8-byte values of a ZIP64 extra field, which
// holds only the marked ones, uncompressed first. A local header's field holds both sizes.
bool takeZip64Sizes(const std::vector<uint8_t>& extra, bool localHeader, EntrySizes& sizes) {
    const bool wantUncompressed = sizes.uncompressed == zip64Marker;
    const bool wantCompressed = sizes.compressed == zip64Marker;
    size_t position = 0;
    while (extra.size() - position >= 4) {
        const uint16_t id = loadLe16(&extra[position]);
        const size_t length = loadLe16(&extra[position + 2]);
        const size_t start = position + 4;
        if (length > extra.size() - start) return false;
        if (id == zip64ExtraId) {
            if (localHeader && length >= 16) {
                if (wantUncompressed) sizes.uncompressed = loadLe64(&extra[start]);
                if (wantCompressed) sizes.compressed = loadLe64(&extra[start + 8]);
                return true;
            }
            size_t field = start;
            const size_t end = start + length;
            if (wantUncompressed) {
                if (end - field < 8) return false;
                sizes.uncompressed = loadLe64(&extra[field]);
                field += 8;
            }
            if (wantCompressed) {
                if (end - field < 8) return false;
                sizes.compressed = loadLe64(&extra[field]);
            }
            return true;
        }
        position = start + length;
    }
    return false;
}

// The end of central directory record lies in the last 65,535 + 22 bytes (its comment is at
// most 65,535 bytes); the last signature whose comment fits the file is taken.
ResultCode findEndRecord(InputFile& input, uint64_t& endOffset, std::array<uint8_t, endRecordLength>& record) {
    const uint64_t tailLength = std::min<uint64_t>(input.size, maxEndCommentLength + endRecordLength);
    if (tailLength < endRecordLength) return ResultCode::InputTruncated;
    const uint64_t tailStart = input.size - tailLength;
    std::vector<uint8_t> tail;
    const ResultCode result = readIntoBuffer(input, tailStart, tailLength, tail);
    if (result != ResultCode::Success) return result;
    for (size_t i = tail.size() - endRecordLength + 1; i-- > 0;) {
        if (!startsWith(&tail[i], zipEndSignature)) continue;
        const uint64_t commentLength = loadLe16(&tail[i + 20]);
        if (i + endRecordLength + commentLength > tail.size()) continue;
        endOffset = tailStart + i;
        std::copy_n(tail.begin() + static_cast<std::ptrdiff_t>(i), endRecordLength, record.begin());
        return ResultCode::Success;
    }
    return ResultCode::InputTruncated;
}

ResultCode findCentralDirectory(InputFile& input, uint64_t& centralOffset) {
    uint64_t endOffset = 0;
    std::array<uint8_t, endRecordLength> end{};
    ResultCode result = findEndRecord(input, endOffset, end);
    if (result != ResultCode::Success) return result;
    centralOffset = loadLe32(&end[16]);
    if (centralOffset != zip64Marker) return ResultCode::Success;

    // ZIP64: the locator just before the end record points at the ZIP64 end record.
    if (endOffset < zip64LocatorLength) return ResultCode::InputTruncated;
    std::array<uint8_t, zip64LocatorLength> locator{};
    result = readAt(input, endOffset - zip64LocatorLength, locator.data(), locator.size());
    if (result != ResultCode::Success) return result;
    if (!startsWith(locator.data(), zip64LocatorSignature)) return ResultCode::InputTruncated;
    std::array<uint8_t, zip64EndRecordLength> zip64End{};
    result = readAt(input, loadLe64(&locator[8]), zip64End.data(), zip64End.size());
    if (result != ResultCode::Success) return result;
    if (!startsWith(zip64End.data(), zip64EndSignature)) return ResultCode::InputTruncated;
    centralOffset = loadLe64(&zip64End[48]);
    return ResultCode::Success;
}

// CRC-32 and sizes of the first entry as its central directory header records them.
ResultCode readCentralSizes(InputFile& input, EntrySizes& sizes) {
    uint64_t centralOffset = 0;
    ResultCode result = findCentralDirectory(input, centralOffset);
    if (result != ResultCode::Success) return result;
    std::array<uint8_t, centralHeaderLength> header{};
    result = readAt(input, centralOffset, header.data(), header.size());
    if (result != ResultCode::Success) return result;
    if (!startsWith(header.data(), centralSignature)) return ResultCode::InputTruncated;
    sizes.crc32 = loadLe32(&header[16]);
    sizes.compressed = loadLe32(&header[20]);
    sizes.uncompressed = loadLe32(&header[24]);
    if (sizes.compressed != zip64Marker && sizes.uncompressed != zip64Marker) return ResultCode::Success;
    const uint64_t nameLength = loadLe16(&header[28]);
    const uint64_t extraLength = loadLe16(&header[30]);
    std::vector<uint8_t> extra;
    result = readIntoBuffer(input, centralOffset + centralHeaderLength + nameLength, extraLength, extra);
    if (result != ResultCode::Success) return result;
    return takeZip64Sizes(extra, false, sizes) ? ResultCode::Success : ResultCode::InputTruncated;
}

// Sizes of the entry whose local header is at offset 0 (extra field at extraOffset).
ResultCode readEntrySizes(InputFile& input, uint16_t flags, uint64_t extraOffset, uint64_t extraLength,
                          EntrySizes& sizes) {
    // With a data descriptor the local header holds zeros; the central directory has the values.
    if (flags & flagDataDescriptor) return readCentralSizes(input, sizes);
    if (sizes.compressed != zip64Marker && sizes.uncompressed != zip64Marker) return ResultCode::Success;
    std::vector<uint8_t> extra;
    const ResultCode result = readIntoBuffer(input, extraOffset, extraLength, extra);
    if (result != ResultCode::Success) return result;
    if (takeZip64Sizes(extra, true, sizes)) return ResultCode::Success;
    return readCentralSizes(input, sizes);
}

bool isContinuation(uint8_t byte) {
    return (byte & 0xC0) == 0x80;
}

// True for well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF) that
// holds at least one character outside ASCII: only then does the UTF-8 flag say anything.
bool isNonAsciiUtf8(const std::vector<uint8_t>& text) {
    bool nonAscii = false;
    for (size_t i = 0; i < text.size();) {
        const uint8_t lead = text[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        nonAscii = true;
        size_t length = 0;
        uint32_t value = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            value = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            value = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            value = lead & 0x07u;
        } else {
            return false;
        }
        if (text.size() - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            if (!isContinuation(text[i + k])) return false;
            value = (value << 6) | (text[i + k] & 0x3Fu);
        }
        const uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
        i += length;
    }
    return nonAscii;
}

uint16_t nameFlags(const ConversionJob& job, const std::vector<uint8_t>& name) {
    if (job.inputFormat == FormatCode::Zip && job.hasStoredName) {
        return static_cast<uint16_t>(flagsWritten | (job.zipFlags & flagUtf8Name));
    }
    return static_cast<uint16_t>(flagsWritten | (isNonAsciiUtf8(name) ? flagUtf8Name : 0));
}

// Fills in what the entry lacks before anything is written.
ResultCode completeEntry(ConversionJob& job) {
    if (job.compressionMethod == methodStored) {
        completeStoredCrcAndSize(job);
    } else if (job.crc32 == 0 || job.uncompressedSize == 0) {
        const ResultCode result = completeCrcAndSize(job);
        if (result != ResultCode::Success) return result;
    } else if (job.inputFormat == FormatCode::Gzip && job.deflateLength > longestStreamWithExactIsize) {
        // ISIZE is the size modulo 2^32; a stream this long may inflate past 4 GiB.
        const ResultCode result =
            DeflateVerifier(nullptr, nullptr, &job.uncompressedSize, job.deflateLength, job.deflateData);
        if (result != ResultCode::Success) return result;
    }
    if (job.dosTime == 0 || job.dosDate == 0) {
        ensureUnixTime(job);
        unixToDosTime(job.unixTime, job.dosDate, job.dosTime);
    }
    if (job.compressionMethod == -1) job.compressionMethod = methodDeflate;
    return ResultCode::Success;
}

struct ArchiveLayout {
    uint16_t version = versionPlain;
    uint16_t flags = flagsWritten;
    bool zip64Sizes = false;   // sizes go in ZIP64 extra fields
    bool zip64Offset = false;  // the central directory offset goes in a ZIP64 end record
    uint64_t centralOffset = 0;
    uint64_t centralSize = 0;
};

void putSizes(FieldBuffer& fields, const ConversionJob& job, const ArchiveLayout& layout) {
    putLe32(fields, layout.zip64Sizes ? zip64Marker : static_cast<uint32_t>(job.deflateLength));
    putLe32(fields, layout.zip64Sizes ? zip64Marker : static_cast<uint32_t>(job.uncompressedSize));
}

void putZip64SizesExtra(FieldBuffer& fields, const ConversionJob& job, const ArchiveLayout& layout) {
    if (!layout.zip64Sizes) return;
    putLe16(fields, zip64ExtraId);
    putLe16(fields, 16);
    putLe64(fields, job.uncompressedSize);
    putLe64(fields, job.deflateLength);
}

// The fields the local and central headers share, from "version needed" to "extra length".
void putEntryFields(FieldBuffer& header, const ConversionJob& job, const std::vector<uint8_t>& name,
                    const ArchiveLayout& layout) {
    putLe16(header, layout.version);
    putLe16(header, layout.flags);
    putLe16(header, static_cast<uint16_t>(job.compressionMethod));
    putLe16(header, job.dosTime);
    putLe16(header, job.dosDate);
    putLe32(header, job.crc32);
    putSizes(header, job, layout);
    putLe16(header, static_cast<uint16_t>(name.size()));
    putLe16(header, static_cast<uint16_t>(layout.zip64Sizes ? zip64SizesExtraLength : 0));
}

// Writes a header's fixed fields, then the name and the extra field that follow it.
ResultCode writeHeaderWithName(ByteWriter& output, const FieldBuffer& header, const std::vector<uint8_t>& name,
                               const ConversionJob& job, const ArchiveLayout& layout) {
    FieldBuffer extra;
    putZip64SizesExtra(extra, job, layout);
    ResultCode result = writeFields(output, header);
    if (result == ResultCode::Success) result = writeBytes(output, name.data(), name.size());
    if (result == ResultCode::Success) result = writeFields(output, extra);
    return result;
}

ResultCode writeLocalEntry(const ConversionJob& job, const std::vector<uint8_t>& name, const ArchiveLayout& layout,
                           ByteWriter& output) {
    FieldBuffer header;
    putBytes(header, localSignature);
    putEntryFields(header, job, name, layout);
    const ResultCode result = writeHeaderWithName(output, header, name, job, layout);
    if (result != ResultCode::Success) return result;
    return writeBytes(output, job.deflateData, job.deflateLength);
}

ResultCode writeCentralHeader(const ConversionJob& job, const std::vector<uint8_t>& name,
                              const ArchiveLayout& layout, ByteWriter& output) {
    FieldBuffer header;
    putBytes(header, centralSignature);
    putLe16(header, layout.version);  // version made by, MS-DOS host
    putEntryFields(header, job, name, layout);
    putLe16(header, 0);  // comment length
    putLe16(header, 0);  // disk number start
    putLe16(header, 0);  // internal attributes
    putLe32(header, archiveAttribute);
    putLe32(header, 0);  // the local header is at the start of the file
    return writeHeaderWithName(output, header, name, job, layout);
}

ResultCode writeEndRecords(const ArchiveLayout& layout, ByteWriter& output) {
    FieldBuffer records;
    if (layout.zip64Offset) {
        const uint64_t zip64EndOffset = layout.centralOffset + layout.centralSize;
        putBytes(records, zip64EndSignature);
        putLe64(records, zip64EndRecordLength - 12);  // the record's length after this field
        putLe16(records, versionZip64);
        putLe16(records, versionZip64);
        putLe32(records, 0);  // this disk
        putLe32(records, 0);  // disk of the central directory
        putLe64(records, 1);  // entries on this disk
        putLe64(records, 1);  // entries in all
        putLe64(records, layout.centralSize);
        putLe64(records, layout.centralOffset);
        putBytes(records, zip64LocatorSignature);
        putLe32(records, 0);  // disk of the ZIP64 end record
        putLe64(records, zip64EndOffset);
        putLe32(records, 1);  // disks in all
    }
    putBytes(records, zipEndSignature);
    putLe16(records, 0);
    putLe16(records, 0);
    putLe16(records, 1);
    putLe16(records, 1);
    putLe32(records, static_cast<uint32_t>(layout.centralSize));
    putLe32(records, layout.zip64Offset ? zip64Marker : static_cast<uint32_t>(layout.centralOffset));
    putLe16(records, 0);  // comment length
    return writeFields(output, records);
}

}  // namespace

bool claimsZipContainer(const uint8_t* head, size_t headLength) {
    return headLength >= 2 && head[0] == localSignature[0] && head[1] == localSignature[1];
}

std::vector<uint8_t> cleanZipName(const std::vector<uint8_t>& name) {
    std::vector<uint8_t> cleaned;
    cleaned.reserve(name.size());
    size_t start = 0;
    bool first = true;
    for (;;) {
        const auto slash = std::find(name.begin() + static_cast<std::ptrdiff_t>(start), name.end(), '/');
        const size_t end = static_cast<size_t>(slash - name.begin());
        const bool parent = end - start == 2 && name[start] == '.' && name[start + 1] == '.';
        if (!parent) {
            if (!first) cleaned.push_back('/');
            cleaned.insert(cleaned.end(), name.begin() + static_cast<std::ptrdiff_t>(start), slash);
            first = false;
        }
        if (slash == name.end()) break;
        start = end + 1;
    }
    const auto firstKept = std::find_if(cleaned.begin(), cleaned.end(), [](uint8_t c) { return c != '/'; });
    cleaned.erase(cleaned.begin(), firstKept);
    return cleaned;
}

ResultCode readZipContainer(ConversionJob& job, InputFile& input) {
    std::array<uint8_t, localHeaderLength> header{};
    if (readUpTo(input, 0, header.data(), localSignature.size()) != localSignature.size() ||
        !startsWith(header.data(), localSignature)) {
        return ResultCode::UnknownFormat;
    }
    ResultCode result = readAt(input, 0, header.data(), header.size());
    if (result != ResultCode::Success) return result;

    const uint16_t flags = loadLe16(&header[6]);
    const uint16_t method = loadLe16(&header[8]);
    // Encryption first: an encrypted entry's method (99 for AES) says nothing useful.
    if (flags & flagEncrypted) return ResultCode::EncryptedEntry;
    if ((method & ~methodDeflate) != 0) return ResultCode::UnsupportedMethod;
    job.compressionMethod = static_cast<int16_t>(method);
    job.zipFlags = flags;
    job.hasStoredName = true;
    job.dosTime = loadLe16(&header[10]);
    job.dosDate = loadLe16(&header[12]);
    job.unixTime = dosToUnixTime(job.dosDate, job.dosTime);

    EntrySizes sizes;
    sizes.crc32 = loadLe32(&header[14]);
    sizes.compressed = loadLe32(&header[18]);
    sizes.uncompressed = loadLe32(&header[22]);
    const uint64_t nameLength = loadLe16(&header[26]);
    const uint64_t extraLength = loadLe16(&header[28]);

    result = readIntoBuffer(input, localHeaderLength, nameLength, job.storedName);
    if (result != ResultCode::Success) return result;
    const uint64_t extraOffset = localHeaderLength + nameLength;
    if (!fileHolds(input, extraOffset, extraLength)) return ResultCode::InputTruncated;
    result = readEntrySizes(input, flags, extraOffset, extraLength, sizes);
    if (result != ResultCode::Success) return result;

    job.crc32 = sizes.crc32;
    job.uncompressedSize = sizes.uncompressed;
    job.deflateLength = sizes.compressed;
    result = readIntoBuffer(input, extraOffset + extraLength, sizes.compressed, job.deflateBuffer);
    if (result != ResultCode::Success) return result;
    job.deflateData = job.deflateBuffer.data();
    return ResultCode::Success;
}

ResultCode writeZipContainer(ConversionJob& job, ByteWriter& output) {
    const std::vector<uint8_t> name = cleanZipName(job.storedName);
    if (name.size() > maxNameLength) return ResultCode::NameTooLong;
    ResultCode result = completeEntry(job);
    if (result != ResultCode::Success) return result;

    ArchiveLayout layout;
    layout.flags = nameFlags(job, name);
    layout.zip64Sizes = job.deflateLength >= zip64Marker || job.uncompressedSize >= zip64Marker;
    const uint64_t extraLength = layout.zip64Sizes ? zip64SizesExtraLength : 0;
    layout.centralOffset = localHeaderLength + name.size() + extraLength + job.deflateLength;
    layout.centralSize = centralHeaderLength + name.size() + extraLength;
    layout.zip64Offset = layout.centralOffset >= zip64Marker;
    if (layout.zip64Sizes || layout.zip64Offset) layout.version = versionZip64;

    result = writeLocalEntry(job, name, layout, output);
    if (result != ResultCode::Success) return result;
    result = writeCentralHeader(job, name, layout, output);
    if (result != ResultCode::Success) return result;
    return writeEndRecords(layout, output);
}
