#include "containers/zip_container.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

#include "io/bytes.h"
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

constexpr std::array<uint8_t, 4> localSignature = {0x50, 0x4B, 0x03, 0x04};
constexpr std::array<uint8_t, 4> centralSignature = {0x50, 0x4B, 0x01, 0x02};
constexpr std::array<uint8_t, 4> endSignature = {0x50, 0x4B, 0x05, 0x06};
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

// One entry as a local or central header describes it.
struct EntryFields {
    uint16_t flags = 0;
    uint16_t method = 0;
    DosDateTime dos;
    uint32_t crc32 = 0;
    uint64_t compressed = 0;
    uint64_t uncompressed = 0;
    uint64_t nameLength = 0;
    uint64_t extraLength = 0;
    uint64_t localOffset = 0;  // central headers only
};

template <size_t N>
bool startsWith(const uint8_t* bytes, const std::array<uint8_t, N>& signature) {
    return std::equal(signature.begin(), signature.end(), bytes);
}

// Replaces the fields marked FF FF FF FF with the 8-byte values of a ZIP64 extra field, which
// holds only the marked ones in a fixed order. A local header's field holds both sizes.
bool takeZip64Fields(const std::vector<uint8_t>& extra, bool localHeader, EntryFields& entry) {
    std::array<uint64_t*, 3> wanted = {entry.uncompressed == zip64Marker ? &entry.uncompressed : nullptr,
                                       entry.compressed == zip64Marker ? &entry.compressed : nullptr,
                                       !localHeader && entry.localOffset == zip64Marker ? &entry.localOffset : nullptr};
    for (size_t position = 0; extra.size() - position >= 4;) {
        const uint16_t id = loadLe16(&extra[position]);
        const size_t length = loadLe16(&extra[position + 2]);
        const size_t start = position + 4;
        if (length > extra.size() - start) return false;
        position = start + length;
        if (id != zip64ExtraId) continue;
        size_t field = start;
        for (size_t i = 0; i < wanted.size(); ++i) {
            const bool present = wanted[i] || (localHeader && i < 2);
            if (!present) continue;
            if (position - field < 8) return false;
            if (wanted[i]) *wanted[i] = loadLe64(&extra[field]);
            field += 8;
        }
        return true;
    }
    return false;
}

ResultCode readZip64Fields(InputFile& input, uint64_t extraOffset, bool localHeader, EntryFields& entry) {
    const bool marked = entry.compressed == zip64Marker || entry.uncompressed == zip64Marker ||
                        (!localHeader && entry.localOffset == zip64Marker);
    if (!marked) return ResultCode::Success;
    if (!fileHolds(input, extraOffset, entry.extraLength)) return ResultCode::InputTruncated;
    std::vector<uint8_t> extra(static_cast<size_t>(entry.extraLength));
    const ResultCode result = readAt(input, extraOffset, extra.data(), extra.size());
    if (failed(result)) return result;
    return takeZip64Fields(extra, localHeader, entry) ? ResultCode::Success : ResultCode::InputTruncated;
}

ResultCode readLocalHeader(InputFile& input, uint64_t offset, EntryFields& entry) {
    std::array<uint8_t, localHeaderLength> header{};
    const ResultCode result = readAt(input, offset, header.data(), header.size());
    if (failed(result)) return result;
    if (!startsWith(header.data(), localSignature)) return ResultCode::InputTruncated;
    entry.flags = loadLe16(&header[6]);
    entry.method = loadLe16(&header[8]);
    entry.dos = DosDateTime{loadLe16(&header[12]), loadLe16(&header[10])};
    entry.crc32 = loadLe32(&header[14]);
    entry.compressed = loadLe32(&header[18]);
    entry.uncompressed = loadLe32(&header[22]);
    entry.nameLength = loadLe16(&header[26]);
    entry.extraLength = loadLe16(&header[28]);
    return ResultCode::Success;
}

ResultCode readCentralHeader(InputFile& input, uint64_t offset, EntryFields& entry) {
    std::array<uint8_t, centralHeaderLength> header{};
    ResultCode result = readAt(input, offset, header.data(), header.size());
    if (failed(result)) return result;
    if (!startsWith(header.data(), centralSignature)) return ResultCode::InputTruncated;
    entry.flags = loadLe16(&header[8]);
    entry.crc32 = loadLe32(&header[16]);
    entry.compressed = loadLe32(&header[20]);
    entry.uncompressed = loadLe32(&header[24]);
    entry.nameLength = loadLe16(&header[28]);
    entry.extraLength = loadLe16(&header[30]);
    entry.localOffset = loadLe32(&header[42]);
    const uint64_t commentLength = loadLe16(&header[32]);
    result = readZip64Fields(input, offset + centralHeaderLength + entry.nameLength, false, entry);
    entry.extraLength += commentLength;  // what follows the name, up to the next header
    return result;
}

// The end of central directory record lies in the last 65,535 + 22 bytes (its comment is at most
// 65,535 bytes); the last signature there is taken, and its comment must end with the file.
ResultCode findEndRecord(InputFile& input, uint64_t& endOffset, std::array<uint8_t, endRecordLength>& record) {
    const uint64_t tailLength = std::min<uint64_t>(input.size, maxEndCommentLength + endRecordLength);
    if (tailLength < endRecordLength) return ResultCode::InputTruncated;
    const uint64_t tailStart = input.size - tailLength;
    std::vector<uint8_t> tail(static_cast<size_t>(tailLength));
    const ResultCode result = readAt(input, tailStart, tail.data(), tail.size());
    if (failed(result)) return result;
    for (size_t i = tail.size() - endRecordLength + 1; i-- > 0;) {
        if (!startsWith(&tail[i], endSignature)) continue;
        if (i + endRecordLength + loadLe16(&tail[i + 20]) > tail.size()) return ResultCode::InputTruncated;
        endOffset = tailStart + i;
        std::copy_n(tail.begin() + static_cast<std::ptrdiff_t>(i), endRecordLength, record.begin());
        return ResultCode::Success;
    }
    return ResultCode::InputTruncated;
}

struct CentralDirectory {
    uint64_t offset = 0;
    uint64_t entries = 0;
};

ResultCode findCentralDirectory(InputFile& input, CentralDirectory& directory) {
    uint64_t endOffset = 0;
    std::array<uint8_t, endRecordLength> end{};
    ResultCode result = findEndRecord(input, endOffset, end);
    if (failed(result)) return result;
    directory.entries = loadLe16(&end[10]);
    directory.offset = loadLe32(&end[16]);
    if (directory.offset != zip64Marker && directory.entries != 0xFFFF) return ResultCode::Success;

    // ZIP64: the locator just before the end record points at the ZIP64 end record.
    std::array<uint8_t, zip64LocatorLength> locator{};
    if (endOffset < zip64LocatorLength) return ResultCode::InputTruncated;
    result = readAt(input, endOffset - zip64LocatorLength, locator.data(), locator.size());
    if (failed(result)) return result;
    if (!startsWith(locator.data(), zip64LocatorSignature)) return ResultCode::InputTruncated;
    std::array<uint8_t, zip64EndRecordLength> zip64End{};
    result = readAt(input, loadLe64(&locator[8]), zip64End.data(), zip64End.size());
    if (failed(result)) return result;
    if (!startsWith(zip64End.data(), zip64EndSignature)) return ResultCode::InputTruncated;
    directory.entries = loadLe64(&zip64End[32]);
    directory.offset = loadLe64(&zip64End[48]);
    return ResultCode::Success;
}

bool isFolderName(const std::vector<uint8_t>& name) {
    return !name.empty() && name.back() == '/';
}

ResultCode readNameAt(InputFile& input, uint64_t offset, uint64_t length, std::vector<uint8_t>& name) {
    if (!fileHolds(input, offset, length)) return ResultCode::InputTruncated;
    const ResultCode result = allocateBuffer(name, static_cast<size_t>(length));
    return failed(result) ? result : readAt(input, offset, name.data(), name.size());
}

// Which central record is the entry's: the one named, else the one whose local header starts the
// file (where the first entry holds a file), else the first file record.
struct EntryChoice {
    const std::string* name = nullptr;
    bool firstEntryIsFile = false;

    bool matches(const EntryFields& record, const std::vector<uint8_t>& recordName) const {
        if (name) return recordName.size() == name->size() && std::equal(recordName.begin(), recordName.end(), name->begin());
        return !firstEntryIsFile || record.localOffset == 0;
    }
};

// What walking every record of the central directory found.
struct DirectoryWalk {
    std::optional<EntryFields> chosen;
    uint64_t fileEntries = 0;  // records of files, not of folders
};

ResultCode walkCentralDirectory(InputFile& input, const EntryChoice& choice, DirectoryWalk& walk) {
    CentralDirectory directory;
    ResultCode result = findCentralDirectory(input, directory);
    if (failed(result)) return result;
    uint64_t offset = directory.offset;
    std::vector<uint8_t> name;
    // Each record read lies inside the file, so a forged count ends at the file's end.
    for (uint64_t i = 0; i < directory.entries; ++i) {
        EntryFields record;
        result = readCentralHeader(input, offset, record);
        if (!failed(result)) result = readNameAt(input, offset + centralHeaderLength, record.nameLength, name);
        if (failed(result)) return result;
        const uint64_t recordLength = centralHeaderLength + record.nameLength + record.extraLength;
        if (!fileHolds(input, offset, recordLength)) return ResultCode::InputTruncated;
        offset += recordLength;
        if (isFolderName(name)) continue;
        ++walk.fileEntries;
        if (!walk.chosen && choice.matches(record, name)) walk.chosen = record;
    }
    return ResultCode::Success;
}

void noteLeftOutEntries(const DirectoryWalk& walk, std::vector<std::string>& warnings) {
    const uint64_t leftOut = walk.fileEntries - (walk.chosen ? 1 : 0);
    if (leftOut == 1) warnings.emplace_back("WARNING: 1 more file entry was left out.\n");
    if (leftOut > 1) warnings.push_back("WARNING: " + std::to_string(leftOut) + " more file entries were left out.\n");
}

ResultCode readEntrySizes(InputFile& input, uint64_t entryOffset, const EntryFields* central, EntryFields& entry) {
    if (entry.flags & flagDataDescriptor) {
        // The local header holds zeros; the entry's own central record has the values.
        if (!central) return ResultCode::InputTruncated;
        entry.crc32 = central->crc32;
        entry.compressed = central->compressed;
        entry.uncompressed = central->uncompressed;
        return ResultCode::Success;
    }
    return readZip64Fields(input, entryOffset + localHeaderLength + entry.nameLength, true, entry);
}

void recordFindings(const EntryFields& entry, std::vector<uint8_t> name, uint64_t dataOffset, InputFindings& findings) {
    CarriedFacts& carried = findings.carried;
    if (!dosTimeIsMissing(entry.dos)) {
        carried.dosTime = entry.dos;
        carried.unixTime = dosToUnixTime(entry.dos);
    }
    if (entry.crc32 != 0) carried.crc32 = entry.crc32;
    if (entry.uncompressed != 0) carried.size = entry.uncompressed;
    carried.name = std::move(name);
    carried.nameIsUtf8 = (entry.flags & flagUtf8Name) != 0;
    carried.payloadIsStored = entry.method == methodStored;
    findings.region.extents = {Extent{dataOffset, entry.compressed}};
    findings.region.length = entry.compressed;
}

// ---- writing ----

struct ArchiveLayout {
    uint16_t version = versionPlain;
    uint16_t flags = flagsWritten;
    bool zip64Sizes = false;   // sizes go in ZIP64 extra fields
    bool zip64Offset = false;  // the central directory offset goes in a ZIP64 end record
    uint64_t centralOffset = 0;
    uint64_t centralSize = 0;
};

// True for well-formed UTF-8 that holds at least one character outside ASCII: only then does the
// UTF-8 flag say anything.
bool isNonAsciiUtf8(const std::vector<uint8_t>& text) {
    bool nonAscii = false;
    for (size_t i = 0, length = 0; i < text.size(); i += length) {
        uint32_t codePoint = 0;
        length = decodeUtf8(&text[i], text.size() - i, codePoint);
        if (length == 0) return false;
        nonAscii = nonAscii || codePoint >= 0x80;
    }
    return nonAscii;
}

void putEntryFields(FieldBuffer& header, const OutputFacts& facts, uint64_t nameLength, const ArchiveLayout& layout) {
    putLe16(header, layout.version);
    putLe16(header, layout.flags);
    putLe16(header, facts.entryIsStored ? methodStored : methodDeflate);
    putLe16(header, facts.dosTime.time);
    putLe16(header, facts.dosTime.date);
    putLe32(header, facts.crc32);
    putLe32(header, layout.zip64Sizes ? zip64Marker : static_cast<uint32_t>(facts.streamLength));
    putLe32(header, layout.zip64Sizes ? zip64Marker : static_cast<uint32_t>(facts.size));
    putLe16(header, static_cast<uint16_t>(nameLength));
    putLe16(header, static_cast<uint16_t>(layout.zip64Sizes ? zip64SizesExtraLength : 0));
}

// Writes a header's fixed fields, then the name and the extra field that follow it.
ResultCode writeHeaderWithName(OutputFile& output, const FieldBuffer& header, const std::vector<uint8_t>& name,
                               const OutputFacts& facts, const ArchiveLayout& layout) {
    FieldBuffer extra;
    if (layout.zip64Sizes) {
        putLe16(extra, zip64ExtraId);
        putLe16(extra, 16);
        putLe64(extra, facts.size);
        putLe64(extra, facts.streamLength);
    }
    ResultCode result = writeFields(output, header);
    if (!failed(result)) result = writeBytes(output, name.data(), name.size());
    if (!failed(result)) result = writeFields(output, extra);
    return result;
}

ResultCode writeCentralHeader(const OutputFacts& facts, const std::vector<uint8_t>& name, const ArchiveLayout& layout,
                              OutputFile& output) {
    FieldBuffer header;
    putBytes(header, centralSignature);
    putLe16(header, layout.version);  // version made by, MS-DOS host
    putEntryFields(header, facts, name.size(), layout);
    putLe16(header, 0);  // comment length
    putLe16(header, 0);  // disk number start
    putLe16(header, 0);  // internal attributes
    putLe32(header, archiveAttribute);
    putLe32(header, 0);  // the local header is at the start of the file
    return writeHeaderWithName(output, header, name, facts, layout);
}

ResultCode writeEndRecords(const ArchiveLayout& layout, OutputFile& output) {
    FieldBuffer records;
    if (layout.zip64Offset) {
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
        putLe64(records, layout.centralOffset + layout.centralSize);
        putLe32(records, 1);  // disks in all
    }
    putBytes(records, endSignature);
    putLe16(records, 0);
    putLe16(records, 0);
    putLe16(records, 1);
    putLe16(records, 1);
    putLe32(records, static_cast<uint32_t>(layout.centralSize));
    putLe32(records, layout.zip64Offset ? zip64Marker : static_cast<uint32_t>(layout.centralOffset));
    putLe16(records, 0);  // comment length
    return writeFields(output, records);
}

ArchiveLayout layoutFor(const OutputFacts& facts, const std::vector<uint8_t>& name) {
    ArchiveLayout layout;
    const bool utf8 = facts.nameIsUtf8 ? *facts.nameIsUtf8 : isNonAsciiUtf8(name);
    layout.flags = static_cast<uint16_t>(flagsWritten | (utf8 ? flagUtf8Name : 0));
    layout.zip64Sizes = facts.streamLength >= zip64Marker || facts.size >= zip64Marker;
    const uint64_t extraLength = layout.zip64Sizes ? zip64SizesExtraLength : 0;
    layout.centralOffset = localHeaderLength + name.size() + extraLength + facts.streamLength;
    layout.centralSize = centralHeaderLength + name.size() + extraLength;
    layout.zip64Offset = layout.centralOffset >= zip64Marker;
    if (layout.zip64Sizes || layout.zip64Offset) layout.version = versionZip64;
    return layout;
}

}  // namespace

const RegionRules zipRegionRules = {.zeroPaddingIsSilent = false};

bool claimsZipContainer(const uint8_t* head, size_t headLength) {
    return headLength >= 2 && head[0] == localSignature[0] && head[1] == localSignature[1];
}

ResultCode readZipContainer(InputFile& input, const std::string* entryName, InputFindings& findings) {
    std::array<uint8_t, 4> head{};
    size_t got = 0;
    ResultCode result = readUpTo(input, 0, head.data(), head.size(), got);
    if (failed(result)) return result;
    if (got < head.size() || head != localSignature) return ResultCode::UnknownFormat;

    EntryFields entry;
    std::vector<uint8_t> name;
    result = readLocalHeader(input, 0, entry);
    if (!failed(result)) result = readNameAt(input, localHeaderLength, entry.nameLength, name);
    if (failed(result)) return result;
    const EntryChoice choice{entryName, !isFolderName(name)};
    DirectoryWalk walk;
    result = walkCentralDirectory(input, choice, walk);
    if (failed(result)) return result;
    uint64_t entryOffset = 0;
    if (entryName || !choice.firstEntryIsFile) {
        if (!walk.chosen) return entryName ? ResultCode::NoSuchEntry : ResultCode::NoFileEntry;
        entryOffset = walk.chosen->localOffset;
        result = readLocalHeader(input, entryOffset, entry);
        if (!failed(result)) result = readNameAt(input, entryOffset + localHeaderLength, entry.nameLength, name);
        if (failed(result)) return result;
    }
    // Encryption first: an encrypted entry's method (99 for AES) says nothing useful.
    if (entry.flags & flagEncrypted) return ResultCode::EncryptedEntry;
    if (entry.method != methodStored && entry.method != methodDeflate) return ResultCode::UnsupportedMethod;
    result = readEntrySizes(input, entryOffset, walk.chosen ? &*walk.chosen : nullptr, entry);
    if (failed(result)) return result;
    const uint64_t dataOffset = entryOffset + localHeaderLength + entry.nameLength + entry.extraLength;
    if (!fileHolds(input, dataOffset, entry.compressed)) return ResultCode::InputTruncated;
    recordFindings(entry, std::move(name), dataOffset, findings);
    noteLeftOutEntries(walk, findings.warnings);
    return ResultCode::Success;
}

std::vector<uint8_t> cleanZipName(const std::vector<uint8_t>& name) {
    // A backslash separates folders too: Windows extractors read it so, and "..\x" would climb out.
    const auto isSeparator = [](uint8_t c) { return c == '/' || c == '\\'; };
    auto segment = name.begin();
    const bool drive = name.size() >= 2 && name[1] == ':' && ((name[0] | 0x20) >= 'a' && (name[0] | 0x20) <= 'z');
    if (drive) segment += 2;  // "C:"
    std::vector<uint8_t> cleaned;
    while (segment != name.end()) {
        const auto end = std::find_if(segment, name.end(), isSeparator);
        const auto length = end - segment;
        const bool dots = (length == 1 && *segment == '.') || (length == 2 && segment[0] == '.' && segment[1] == '.');
        if (length > 0 && !dots) {
            if (!cleaned.empty()) cleaned.push_back('/');
            cleaned.insert(cleaned.end(), segment, end);
        }
        segment = end == name.end() ? end : end + 1;
    }
    return cleaned;
}

ResultCode writeZipHead(const OutputFacts& facts, OutputFile& output) {
    const std::vector<uint8_t> name = cleanZipName(facts.name);
    if (name.size() > maxNameLength) return ResultCode::NameTooLong;
    const ArchiveLayout layout = layoutFor(facts, name);
    FieldBuffer header;
    putBytes(header, localSignature);
    putEntryFields(header, facts, name.size(), layout);
    return writeHeaderWithName(output, header, name, facts, layout);
}

ResultCode writeZipTail(const OutputFacts& facts, OutputFile& output) {
    const std::vector<uint8_t> name = cleanZipName(facts.name);
    const ArchiveLayout layout = layoutFor(facts, name);
    const ResultCode result = writeCentralHeader(facts, name, layout, output);
    return failed(result) ? result : writeEndRecords(layout, output);
}
