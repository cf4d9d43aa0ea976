#include "containers/zip_container.h"

#include <algorithm>
#include <array>
#include <new>
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
constexpr uint64_t maxNameLength = 65535;

constexpr std::array<uint8_t, 4> localSignature = {0x50, 0x4B, 0x03, 0x04};
constexpr std::array<uint8_t, 4> centralSignature = {0x50, 0x4B, 0x01, 0x02};
constexpr std::array<uint8_t, 4> endSignature = {0x50, 0x4B, 0x05, 0x06};
constexpr std::array<uint8_t, 4> zip64EndSignature = {0x50, 0x4B, 0x06, 0x06};
constexpr std::array<uint8_t, 4> zip64LocatorSignature = {0x50, 0x4B, 0x06, 0x07};
constexpr std::array<uint8_t, 4> descriptorSignature = {0x50, 0x4B, 0x07, 0x08};

constexpr uint16_t zip64ExtraId = 0x0001;
constexpr uint16_t timestampExtraId = 0x5455;  // Info-ZIP's extended timestamp
constexpr uint8_t timestampHoldsModification = 0x01;
constexpr uint64_t timestampExtraLength = 9;   // id, length, flags, modification time
constexpr uint32_t zip64Marker = 0xFFFFFFFF;
constexpr uint16_t flagEncrypted = 0x0001;
constexpr uint16_t flagDataDescriptor = 0x0008;
constexpr uint16_t flagUtf8Name = 0x0800;
constexpr uint16_t flagsWritten = 0x0002;
constexpr uint16_t versionPlain = 20;
constexpr uint16_t versionZip64 = 45;
constexpr uint16_t hostUnix = 3;            // "version made by", high byte
constexpr uint32_t unixRegularFile = 0100000;  // file type bits of a Unix mode
constexpr uint32_t unixFolder = 0040000;
constexpr uint32_t dosFolder = 0x10;           // the MS-DOS attribute bit, for readers that go by it
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
    uint64_t localOffset = 0;  // central headers only, from here on
    uint16_t madeBy = 0;
    uint32_t externalAttributes = 0;
};

template <size_t N>
bool startsWith(const uint8_t* bytes, const std::array<uint8_t, N>& signature) {
    return std::equal(signature.begin(), signature.end(), bytes);
}

// The data of the extra field's block with this ID, and its length; null where there is none (or
// where a block before it runs past the field).
const uint8_t* findExtraBlock(const std::vector<uint8_t>& extra, uint16_t wantedId, size_t& length) {
    for (size_t position = 0; extra.size() - position >= 4;) {
        const uint16_t id = loadLe16(&extra[position]);
        length = loadLe16(&extra[position + 2]);
        const size_t start = position + 4;
        if (length > extra.size() - start) return nullptr;
        if (id == wantedId) return &extra[start];
        position = start + length;
    }
    return nullptr;
}

// Replaces the fields marked FF FF FF FF with the 8-byte values of a ZIP64 extra field, which
// holds only the marked ones in a fixed order. A local header's field holds both sizes.
bool takeZip64Fields(const std::vector<uint8_t>& extra, bool localHeader, EntryFields& entry) {
    std::array<uint64_t*, 3> wanted = {entry.uncompressed == zip64Marker ? &entry.uncompressed : nullptr,
                                       entry.compressed == zip64Marker ? &entry.compressed : nullptr,
                                       !localHeader && entry.localOffset == zip64Marker ? &entry.localOffset : nullptr};
    if (std::none_of(wanted.begin(), wanted.end(), [](const uint64_t* field) { return field != nullptr; })) return true;
    size_t length = 0;
    const uint8_t* block = findExtraBlock(extra, zip64ExtraId, length);
    if (!block) return false;
    size_t field = 0;
    for (size_t i = 0; i < wanted.size(); ++i) {
        const bool present = wanted[i] || (localHeader && i < 2);
        if (!present) continue;
        if (length - field < 8) return false;
        if (wanted[i]) *wanted[i] = loadLe64(block + field);
        field += 8;
    }
    return true;
}

ResultCode readExtraAt(InputFile& input, uint64_t offset, uint64_t length, std::vector<uint8_t>& extra) {
    if (!fileHolds(input, offset, length)) return ResultCode::InputTruncated;
    extra.resize(static_cast<size_t>(length));
    return readAt(input, offset, extra.data(), extra.size());
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

// extra, where given, gets the record's extra field.
ResultCode readCentralHeader(InputFile& input, uint64_t offset, EntryFields& entry, std::vector<uint8_t>* extra = nullptr) {
    std::array<uint8_t, centralHeaderLength> header{};
    ResultCode result = readAt(input, offset, header.data(), header.size());
    if (failed(result)) return result;
    if (!startsWith(header.data(), centralSignature)) return ResultCode::InputTruncated;
    entry.madeBy = loadLe16(&header[4]);
    entry.flags = loadLe16(&header[8]);
    entry.method = loadLe16(&header[10]);
    entry.dos = DosDateTime{loadLe16(&header[14]), loadLe16(&header[12])};
    entry.crc32 = loadLe32(&header[16]);
    entry.compressed = loadLe32(&header[20]);
    entry.uncompressed = loadLe32(&header[24]);
    entry.nameLength = loadLe16(&header[28]);
    entry.extraLength = loadLe16(&header[30]);
    entry.externalAttributes = loadLe32(&header[38]);
    entry.localOffset = loadLe32(&header[42]);
    const uint64_t commentLength = loadLe16(&header[32]);
    std::vector<uint8_t> ownExtra;
    std::vector<uint8_t>& read = extra ? *extra : ownExtra;
    result = readExtraAt(input, offset + centralHeaderLength + entry.nameLength, entry.extraLength, read);
    if (!failed(result) && !takeZip64Fields(read, false, entry)) result = ResultCode::InputTruncated;
    entry.extraLength += commentLength;  // what follows the name, up to the next header
    return result;
}

// Where the end record's signature lies in the tail read: the last one with room for a record.
std::optional<size_t> endRecordIn(const std::vector<uint8_t>& tail) {
    if (tail.size() < endRecordLength) return std::nullopt;
    for (size_t i = tail.size() - endRecordLength + 1; i-- > 0;) {
        if (startsWith(&tail[i], endSignature)) return i;
    }
    return std::nullopt;
}

// The end record lies in the file's last 65,535 + 22 bytes (its comment is at most 65,535 bytes),
// so no more is read, however large the file.
ResultCode readTail(InputFile& input, uint64_t& tailStart, std::vector<uint8_t>& tail) {
    const uint64_t tailLength = std::min<uint64_t>(input.size, maxEndCommentLength + endRecordLength);
    tailStart = input.size - tailLength;
    tail.resize(static_cast<size_t>(tailLength));
    return readAt(input, tailStart, tail.data(), tail.size());
}

// The last end record signature is taken, and its comment must end with the file.
ResultCode findEndRecord(InputFile& input, uint64_t& endOffset, std::array<uint8_t, endRecordLength>& record) {
    uint64_t tailStart = 0;
    std::vector<uint8_t> tail;
    const ResultCode result = readTail(input, tailStart, tail);
    if (failed(result)) return result;
    const std::optional<size_t> found = endRecordIn(tail);
    if (!found) return ResultCode::InputTruncated;
    if (*found + endRecordLength + loadLe16(&tail[*found + 20]) > tail.size()) return ResultCode::InputTruncated;
    endOffset = tailStart + *found;
    std::copy_n(tail.begin() + static_cast<std::ptrdiff_t>(*found), endRecordLength, record.begin());
    return ResultCode::Success;
}

bool signatureAt(InputFile& input, uint64_t offset, const std::array<uint8_t, 4>& signature) {
    std::array<uint8_t, 4> bytes{};
    size_t got = 0;
    return !failed(readUpTo(input, offset, bytes.data(), bytes.size(), got)) && got == bytes.size() && bytes == signature;
}

// Where the archive's offsets count from: the bytes in front of it (a self-extractor's stub, or
// anything put before it with cat) are what lies between where its directory ends in fact and
// where the end record says. As unzip does, offsets are taken as they stand where the directory
// isn't found so shifted.
struct CentralDirectory {
    uint64_t offset = 0;  // as the end record states it
    uint64_t size = 0;
    uint64_t entries = 0;
    uint64_t prefix = 0;
};

void findPrefix(InputFile& input, uint64_t directoryEnd, CentralDirectory& directory) {
    const uint64_t stated = directory.offset + directory.size;
    directory.prefix = directoryEnd >= stated && stated >= directory.offset ? directoryEnd - stated : 0;
    if (directory.prefix != 0 && !signatureAt(input, directory.offset + directory.prefix, centralSignature)) directory.prefix = 0;
}

// ZIP64: the locator just before the end record points at the ZIP64 end record, which lies right
// before the locator where the archive has something in front of it.
ResultCode readZip64End(InputFile& input, uint64_t endOffset, CentralDirectory& directory) {
    std::array<uint8_t, zip64LocatorLength> locator{};
    if (endOffset < zip64LocatorLength) return ResultCode::InputTruncated;
    ResultCode result = readAt(input, endOffset - zip64LocatorLength, locator.data(), locator.size());
    if (failed(result)) return result;
    if (!startsWith(locator.data(), zip64LocatorSignature)) return ResultCode::InputTruncated;
    uint64_t zip64EndOffset = loadLe64(&locator[8]);
    const uint64_t adjacent = endOffset - zip64LocatorLength - std::min(endOffset - zip64LocatorLength, zip64EndRecordLength);
    if (!signatureAt(input, zip64EndOffset, zip64EndSignature)) zip64EndOffset = adjacent;
    std::array<uint8_t, zip64EndRecordLength> zip64End{};
    result = readAt(input, zip64EndOffset, zip64End.data(), zip64End.size());
    if (failed(result)) return result;
    if (!startsWith(zip64End.data(), zip64EndSignature)) return ResultCode::InputTruncated;
    directory.entries = loadLe64(&zip64End[32]);
    directory.size = loadLe64(&zip64End[40]);
    directory.offset = loadLe64(&zip64End[48]);
    findPrefix(input, zip64EndOffset, directory);
    return ResultCode::Success;
}

ResultCode findCentralDirectory(InputFile& input, CentralDirectory& directory) {
    uint64_t endOffset = 0;
    std::array<uint8_t, endRecordLength> end{};
    const ResultCode result = findEndRecord(input, endOffset, end);
    if (failed(result)) return result;
    directory.entries = loadLe16(&end[10]);
    directory.size = loadLe32(&end[12]);
    directory.offset = loadLe32(&end[16]);
    if (directory.offset == zip64Marker || directory.entries == 0xFFFF) return readZip64End(input, endOffset, directory);
    findPrefix(input, endOffset, directory);
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

struct CentralRecord {
    EntryFields fields;
    std::vector<uint8_t> name;
};

// What walking every record of the central directory found.
struct DirectoryWalk {
    uint64_t prefix = 0;                     // bytes in front of the archive
    std::optional<CentralRecord> lowest;     // the record of the lowest local header offset
    std::optional<CentralRecord> named;      // the first file record of the name asked for
    std::optional<CentralRecord> firstFile;  // the first file record in the directory's order
    uint64_t fileEntries = 0;                // records of files, not of folders
};

bool isNamed(const std::vector<uint8_t>& name, const std::string* wanted) {
    return wanted && name.size() == wanted->size() && std::equal(name.begin(), name.end(), wanted->begin());
}

void noteRecord(const EntryFields& record, const std::vector<uint8_t>& name, const std::string* entryName, DirectoryWalk& walk) {
    if (!walk.lowest || record.localOffset < walk.lowest->fields.localOffset) walk.lowest = CentralRecord{record, name};
    if (isFolderName(name)) return;
    ++walk.fileEntries;
    if (!walk.firstFile) walk.firstFile = CentralRecord{record, name};
    if (!walk.named && isNamed(name, entryName)) walk.named = CentralRecord{record, name};
}

// Calls visit(record, name, offset) for each record of the central directory, in its order;
// prefix is set to the bytes in front of the archive.
template <typename Visit>
ResultCode walkCentralDirectory(InputFile& input, uint64_t& prefix, Visit visit) {
    CentralDirectory directory;
    ResultCode result = findCentralDirectory(input, directory);
    if (failed(result)) return result;
    prefix = directory.prefix;
    uint64_t offset = directory.offset + directory.prefix;
    std::vector<uint8_t> name;
    // Each record read lies inside the file, so a forged count ends at the file's end.
    for (uint64_t i = 0; i < directory.entries; ++i) {
        EntryFields record;
        result = readCentralHeader(input, offset, record);
        if (!failed(result)) result = readNameAt(input, offset + centralHeaderLength, record.nameLength, name);
        if (failed(result)) return result;
        const uint64_t recordLength = centralHeaderLength + record.nameLength + record.extraLength;
        if (!fileHolds(input, offset, recordLength)) return ResultCode::InputTruncated;
        visit(record, name, offset);
        offset += recordLength;
    }
    return ResultCode::Success;
}

void noteLeftOutEntries(const DirectoryWalk& walk, bool ownRecordFound, std::vector<std::string>& warnings) {
    const uint64_t leftOut = walk.fileEntries - (ownRecordFound ? 1 : 0);
    if (leftOut == 1) warnings.emplace_back("WARNING: 1 more file entry was left out.\n");
    if (leftOut > 1) warnings.push_back("WARNING: " + std::to_string(leftOut) + " more file entries were left out.\n");
}

// The entry converted, as its local header describes it.
struct LocalEntry {
    uint64_t offset = 0;  // of the local header in the file
    EntryFields fields;
    std::vector<uint8_t> name;
    std::vector<uint8_t> extra;
    const CentralRecord* record = nullptr;  // its own central record, where the directory has one

    uint64_t dataOffset() const { return offset + localHeaderLength + name.size() + extra.size(); }
};

ResultCode readLocalEntry(InputFile& input, uint64_t offset, const CentralRecord* record, LocalEntry& entry) {
    entry.offset = offset;
    entry.record = record;
    ResultCode result = readLocalHeader(input, offset, entry.fields);
    if (!failed(result)) result = readNameAt(input, offset + localHeaderLength, entry.fields.nameLength, entry.name);
    if (failed(result)) return result;
    return readExtraAt(input, offset + localHeaderLength + entry.name.size(), entry.fields.extraLength, entry.extra);
}

// The entry named; else the archive's first (the local header at its start, or, where the offsets
// count the bytes in front of it as zip -A leaves them, at the lowest offset the directory names),
// or, where that is a folder, the first file the directory lists.
ResultCode findEntry(InputFile& input, const std::string* entryName, const DirectoryWalk& walk, LocalEntry& entry) {
    if (entryName) {
        if (!walk.named) return ResultCode::NoSuchEntry;
        return readLocalEntry(input, walk.prefix + walk.named->fields.localOffset, &*walk.named, entry);
    }
    const bool headerAtStart = signatureAt(input, walk.prefix, localSignature);
    const CentralRecord* first = walk.lowest && (!headerAtStart || walk.lowest->fields.localOffset == 0) ? &*walk.lowest : nullptr;
    if (!headerAtStart && !first) return ResultCode::NoFileEntry;
    ResultCode result = readLocalEntry(input, walk.prefix + (first ? first->fields.localOffset : 0), first, entry);
    if (failed(result) || !isFolderName(entry.name)) return result;
    if (!walk.firstFile) return ResultCode::NoFileEntry;
    return readLocalEntry(input, walk.prefix + walk.firstFile->fields.localOffset, &*walk.firstFile, entry);
}

// A data descriptor behind the data holds the CRC-32 and both sizes, 4 bytes each or 8 in a ZIP64
// entry, after a signature most writers put first; whichever form it takes, it must say what the
// central record says.
ResultCode checkDataDescriptor(InputFile& input, const LocalEntry& entry) {
    const EntryFields& central = entry.record->fields;
    std::array<uint8_t, 24> bytes{};
    size_t got = 0;
    const uint64_t offset = entry.dataOffset() + central.compressed;
    const ResultCode result = fileHolds(input, offset, 0) ? readUpTo(input, offset, bytes.data(), bytes.size(), got) : ResultCode::Success;
    if (failed(result)) return result;
    for (const size_t skip : {size_t{0}, descriptorSignature.size()}) {
        if (skip != 0 && !startsWith(bytes.data(), descriptorSignature)) continue;
        for (const size_t width : {size_t{4}, size_t{8}}) {
            const uint8_t* fields = &bytes[skip];
            if (got < skip + 4 + 2 * width) continue;
            const uint64_t compressed = width == 4 ? loadLe32(fields + 4) : loadLe64(fields + 4);
            const uint64_t uncompressed = width == 4 ? loadLe32(fields + 8) : loadLe64(fields + 12);
            if (loadLe32(fields) == central.crc32 && compressed == central.compressed && uncompressed == central.uncompressed) {
                return ResultCode::Success;
            }
        }
    }
    return got < 12 ? ResultCode::InputTruncated : ResultCode::HeadersDisagree;
}

// The local header and the entry's own central record must describe one entry: readers that go by
// either must find the same name, method, encryption, CRC-32 and sizes.
ResultCode checkHeadersAgree(InputFile& input, LocalEntry& entry) {
    EntryFields& local = entry.fields;
    const bool descriptor = (local.flags & flagDataDescriptor) != 0;
    // Behind a data descriptor the local sizes are placeholders.
    if (!descriptor && !takeZip64Fields(entry.extra, true, local)) return ResultCode::InputTruncated;
    if (!entry.record) return ResultCode::Success;
    const EntryFields& central = entry.record->fields;
    const bool sumsAgree = descriptor || (local.crc32 == central.crc32 && local.compressed == central.compressed &&
                                          local.uncompressed == central.uncompressed);
    if (entry.name != entry.record->name || local.method != central.method || ((local.flags ^ central.flags) & flagEncrypted) != 0 ||
        !sumsAgree) {
        return ResultCode::HeadersDisagree;
    }
    return descriptor ? checkDataDescriptor(input, entry) : ResultCode::Success;
}

// The modification time of an extended timestamp extra field (Unix seconds, read unsigned as GZIP's
// MTIME is), which unlike the DOS words says the instant, not a wall-clock time of some zone.
std::optional<int64_t> extendedTime(const std::vector<uint8_t>& extra) {
    size_t length = 0;
    const uint8_t* block = findExtraBlock(extra, timestampExtraId, length);
    if (!block || length < 5 || (block[0] & timestampHoldsModification) == 0 || loadLe32(block + 1) == 0) return std::nullopt;
    return loadLe32(block + 1);
}

// The time a header gives (an extended timestamp over the DOS words), the permissions of an entry
// its central record says was made on Unix, and how the name is encoded.
void recordTimeAndMode(const EntryFields& fields, const std::vector<uint8_t>& extra, const EntryFields* record, CarriedFacts& carried) {
    if (!dosTimeIsMissing(fields.dos)) {
        carried.dosTime = fields.dos;
        carried.unixTime = dosToUnixTime(fields.dos);
    }
    if (const std::optional<int64_t> time = extendedTime(extra)) carried.unixTime = time;
    const uint32_t mode = record ? record->externalAttributes >> 16 : 0;
    if (record && (record->madeBy >> 8) == hostUnix && mode != 0) carried.permissions = mode & 0777;
    carried.nameIsUtf8 = (fields.flags & flagUtf8Name) != 0;
}

void recordFindings(LocalEntry& entry, InputFindings& findings) {
    const EntryFields& fields = entry.fields;
    CarriedFacts& carried = findings.carried;
    recordTimeAndMode(fields, entry.extra, entry.record ? &entry.record->fields : nullptr, carried);
    if (fields.crc32 != 0) carried.crc32 = fields.crc32;
    if (fields.uncompressed != 0) carried.size = fields.uncompressed;
    carried.payloadIsStored = fields.method == methodStored;
    findings.region.extents = {Extent{entry.dataOffset(), fields.compressed}};
    findings.region.length = fields.compressed;
    carried.name = std::move(entry.name);
}

// "PK" but no local header (an empty archive's end record) is no archive this reads; anything
// else is read from its end record, whatever stands in front of the archive.
ResultCode checkArchiveStart(InputFile& input) {
    std::array<uint8_t, 4> head{};
    size_t got = 0;
    const ResultCode result = readUpTo(input, 0, head.data(), head.size(), got);
    if (failed(result)) return result;
    return claimsZipContainer(head.data(), got) && (got < head.size() || head != localSignature) ? ResultCode::UnknownFormat
                                                                                                 : ResultCode::Success;
}

// An entry found is read only where its two headers agree, it isn't encrypted, its method is one
// this moves, and its data lies inside the file.
ResultCode checkEntry(InputFile& input, LocalEntry& entry) {
    const ResultCode result = checkHeadersAgree(input, entry);
    if (failed(result)) return result;
    // Encryption first: an encrypted entry's method (99 for AES) says nothing useful.
    if (entry.fields.flags & flagEncrypted) return ResultCode::EncryptedEntry;
    if (entry.fields.method != methodStored && entry.fields.method != methodDeflate) return ResultCode::UnsupportedMethod;
    if (entry.fields.flags & flagDataDescriptor) {
        // The local header holds placeholders; the entry's own central record has the values.
        if (!entry.record) return ResultCode::InputTruncated;
        entry.fields.crc32 = entry.record->fields.crc32;
        entry.fields.compressed = entry.record->fields.compressed;
        entry.fields.uncompressed = entry.record->fields.uncompressed;
    }
    return fileHolds(input, entry.dataOffset(), entry.fields.compressed) ? ResultCode::Success : ResultCode::InputTruncated;
}

// ---- writing ----

// Where the central directory lies, and how many records it holds.
struct DirectoryPlace {
    uint64_t entries = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
};

struct EntryLayout {
    uint16_t version = versionPlain;
    uint16_t flags = flagsWritten;
    bool zip64Sizes = false;   // both sizes go in the ZIP64 extra field
    bool zip64Offset = false;  // the local header's offset goes there too (in the central record)
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

ResultCode entryRecordFor(const OutputFacts& facts, uint64_t localOffset, ZipEntryRecord& entry) {
    entry.name = cleanZipName(facts.name);
    if (entry.name.size() > maxNameLength) return ResultCode::NameTooLong;
    entry.nameIsUtf8 = facts.nameIsUtf8 ? *facts.nameIsUtf8 : isNonAsciiUtf8(entry.name);
    entry.localOffset = localOffset;
    entry.streamLength = facts.streamLength;
    entry.size = facts.size;
    entry.crc32 = facts.crc32;
    entry.dosTime = facts.dosTime;
    entry.unixTime = static_cast<uint32_t>(facts.unixTime);
    entry.permissions = facts.permissions & 0777;
    entry.stored = facts.entryIsStored;
    return ResultCode::Success;
}

// Each entry takes ZIP64 fields only where its own sizes or offset need them.
EntryLayout layoutOf(const ZipEntryRecord& entry) {
    EntryLayout layout;
    layout.flags = static_cast<uint16_t>(flagsWritten | (entry.nameIsUtf8 ? flagUtf8Name : 0));
    layout.zip64Sizes = entry.streamLength >= zip64Marker || entry.size >= zip64Marker;
    layout.zip64Offset = entry.localOffset >= zip64Marker;
    if (layout.zip64Sizes || layout.zip64Offset) layout.version = versionZip64;
    return layout;
}

// The ZIP64 field, where there is one (the offset only in the central record), then the time.
uint64_t extraLengthFor(const EntryLayout& layout, bool central) {
    const uint64_t zip64Fields = (layout.zip64Sizes ? 2 : 0) + (central && layout.zip64Offset ? 1 : 0);
    return (zip64Fields > 0 ? 4 + 8 * zip64Fields : 0) + timestampExtraLength;
}

void putEntryFields(FieldBuffer& header, const ZipEntryRecord& entry, const EntryLayout& layout, bool central) {
    putLe16(header, layout.version);
    putLe16(header, layout.flags);
    putLe16(header, entry.stored ? methodStored : methodDeflate);
    putLe16(header, entry.dosTime.time);
    putLe16(header, entry.dosTime.date);
    putLe32(header, entry.crc32);
    putLe32(header, layout.zip64Sizes ? zip64Marker : static_cast<uint32_t>(entry.streamLength));
    putLe32(header, layout.zip64Sizes ? zip64Marker : static_cast<uint32_t>(entry.size));
    putLe16(header, static_cast<uint16_t>(entry.name.size()));
    putLe16(header, static_cast<uint16_t>(extraLengthFor(layout, central)));
}

// Writes a header's fixed fields, then the name and the extra field that follow it: the ZIP64
// values where they are needed, then the time as Unix seconds, which readers take over the DOS
// words' wall-clock time of an unknown zone (4 bytes: the low 32 bits, as Info-ZIP reads them).
ResultCode writeHeaderWithName(OutputFile& output, const FieldBuffer& header, const ZipEntryRecord& entry,
                               const EntryLayout& layout, bool central) {
    FieldBuffer extra;
    const uint64_t zip64Length = extraLengthFor(layout, central) - timestampExtraLength;
    if (zip64Length > 0) {
        putLe16(extra, zip64ExtraId);
        putLe16(extra, static_cast<uint16_t>(zip64Length - 4));
        if (layout.zip64Sizes) {
            putLe64(extra, entry.size);
            putLe64(extra, entry.streamLength);
        }
        if (central && layout.zip64Offset) putLe64(extra, entry.localOffset);
    }
    putLe16(extra, timestampExtraId);
    putLe16(extra, timestampExtraLength - 4);
    putByte(extra, timestampHoldsModification);
    putLe32(extra, entry.unixTime);
    ResultCode result = writeFields(output, header);
    if (!failed(result)) result = writeBytes(output, entry.name.data(), entry.name.size());
    if (!failed(result)) result = writeFields(output, extra);
    return result;
}

ResultCode writeLocalHeader(const ZipEntryRecord& entry, const EntryLayout& layout, OutputFile& output) {
    FieldBuffer header;
    putBytes(header, localSignature);
    putEntryFields(header, entry, layout, false);
    return writeHeaderWithName(output, header, entry, layout, false);
}

// Made by Unix, so that unzip takes the name as the UTF-8 flag says and gives the file its mode.
ResultCode writeCentralHeader(const ZipEntryRecord& entry, const EntryLayout& layout, OutputFile& output) {
    FieldBuffer header;
    putBytes(header, centralSignature);
    putLe16(header, static_cast<uint16_t>(hostUnix << 8 | layout.version));
    putEntryFields(header, entry, layout, true);
    putLe16(header, 0);  // comment length
    putLe16(header, 0);  // disk number start
    putLe16(header, 0);  // internal attributes
    putLe32(header, entry.folder ? (unixFolder | entry.permissions) << 16 | dosFolder : (unixRegularFile | entry.permissions) << 16);
    putLe32(header, layout.zip64Offset ? zip64Marker : static_cast<uint32_t>(entry.localOffset));
    return writeHeaderWithName(output, header, entry, layout, true);
}

// The ZIP64 end record and its locator come first where the count of entries or the directory's
// place doesn't fit the end record's fields.
ResultCode writeEndRecords(const DirectoryPlace& directory, OutputFile& output) {
    const bool zip64 = directory.entries >= 0xFFFF || directory.offset >= zip64Marker || directory.size >= zip64Marker;
    FieldBuffer records;
    if (zip64) {
        putBytes(records, zip64EndSignature);
        putLe64(records, zip64EndRecordLength - 12);  // the record's length after this field
        putLe16(records, versionZip64);
        putLe16(records, versionZip64);
        putLe32(records, 0);  // this disk
        putLe32(records, 0);  // disk of the central directory
        putLe64(records, directory.entries);  // on this disk
        putLe64(records, directory.entries);  // in all
        putLe64(records, directory.size);
        putLe64(records, directory.offset);
        putBytes(records, zip64LocatorSignature);
        putLe32(records, 0);  // disk of the ZIP64 end record
        putLe64(records, directory.offset + directory.size);
        putLe32(records, 1);  // disks in all
    }
    const uint16_t entries = static_cast<uint16_t>(std::min<uint64_t>(directory.entries, 0xFFFF));
    putBytes(records, endSignature);
    putLe16(records, 0);
    putLe16(records, 0);
    putLe16(records, entries);
    putLe16(records, entries);
    putLe32(records, static_cast<uint32_t>(std::min<uint64_t>(directory.size, zip64Marker)));
    putLe32(records, static_cast<uint32_t>(std::min<uint64_t>(directory.offset, zip64Marker)));
    putLe16(records, 0);  // comment length
    return writeFields(output, records);
}

// An archive of one entry, at the file's start: its headers say version 45 too where only the
// directory, behind the stream, starts past 4 GiB.
ResultCode singleEntry(const OutputFacts& facts, ZipEntryRecord& entry, EntryLayout& layout, DirectoryPlace& directory) {
    const ResultCode result = entryRecordFor(facts, 0, entry);
    layout = layoutOf(entry);
    directory.entries = 1;
    directory.offset = localHeaderLength + entry.name.size() + extraLengthFor(layout, false) + entry.streamLength;
    directory.size = centralHeaderLength + entry.name.size() + extraLengthFor(layout, true);
    if (directory.offset >= zip64Marker) layout.version = versionZip64;
    return result;
}

}  // namespace

const RegionRules zipRegionRules = {.zeroPaddingIsSilent = false};

bool claimsZipContainer(const uint8_t* head, size_t headLength) {
    return headLength >= 2 && head[0] == localSignature[0] && head[1] == localSignature[1];
}

ResultCode readZipContainer(InputFile& input, const std::string* entryName, InputFindings& findings) {
    DirectoryWalk walk;
    LocalEntry entry;
    ResultCode result = checkArchiveStart(input);
    if (!failed(result)) {
        result = walkCentralDirectory(input, walk.prefix, [&](const EntryFields& record, const std::vector<uint8_t>& name, uint64_t) {
            noteRecord(record, name, entryName, walk);
        });
    }
    if (!failed(result)) result = findEntry(input, entryName, walk, entry);
    if (!failed(result)) result = checkEntry(input, entry);
    if (failed(result)) return result;
    noteLeftOutEntries(walk, entry.record != nullptr, findings.warnings);
    recordFindings(entry, findings);
    return ResultCode::Success;
}

ResultCode listZipFileEntries(InputFile& input, ZipFileEntries& entries) {
    const ResultCode result = checkArchiveStart(input);
    if (failed(result)) return result;
    return walkCentralDirectory(input, entries.prefix, [&](const EntryFields&, const std::vector<uint8_t>& name, uint64_t offset) {
        if (isFolderName(name)) {
            entries.folders.push_back(ZipFolderEntry{offset, name, entries.files.size()});
        } else {
            entries.files.push_back(ZipFileEntry{offset, name});
        }
    });
}

ResultCode readZipFileEntry(InputFile& input, const ZipFileEntries& entries, size_t index, InputFindings& findings) {
    CentralRecord record;
    LocalEntry entry;
    const uint64_t offset = entries.files.at(index).recordOffset;
    ResultCode result = readCentralHeader(input, offset, record.fields);
    if (!failed(result)) result = readNameAt(input, offset + centralHeaderLength, record.fields.nameLength, record.name);
    if (!failed(result)) result = readLocalEntry(input, entries.prefix + record.fields.localOffset, &record, entry);
    if (!failed(result)) result = checkEntry(input, entry);
    if (failed(result)) return result;
    recordFindings(entry, findings);
    return ResultCode::Success;
}

ResultCode readZipFolderEntry(InputFile& input, const ZipFolderEntry& folder, CarriedFacts& carried) {
    EntryFields record;
    std::vector<uint8_t> extra;
    const ResultCode result = readCentralHeader(input, folder.recordOffset, record, &extra);
    if (failed(result)) return result;
    recordTimeAndMode(record, extra, &record, carried);
    carried.name = folder.name;
    return ResultCode::Success;
}

bool holdsZipEndRecord(InputFile& input) {
    uint64_t tailStart = 0;
    std::vector<uint8_t> tail;
    return !failed(readTail(input, tailStart, tail)) && endRecordIn(tail).has_value();
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
    ZipEntryRecord entry;
    EntryLayout layout;
    DirectoryPlace directory;
    const ResultCode result = singleEntry(facts, entry, layout, directory);
    return failed(result) ? result : writeLocalHeader(entry, layout, output);
}

ResultCode writeZipTail(const OutputFacts& facts, OutputFile& output) {
    ZipEntryRecord entry;
    EntryLayout layout;
    DirectoryPlace directory;
    ResultCode result = singleEntry(facts, entry, layout, directory);
    if (!failed(result)) result = writeCentralHeader(entry, layout, output);
    return failed(result) ? result : writeEndRecords(directory, output);
}

ResultCode writeZipEntryHead(ZipArchive& archive, const OutputFacts& facts, OutputFile& output, bool folder) {
    ZipEntryRecord entry;
    ResultCode result = entryRecordFor(facts, output.bytesWritten, entry);
    if (folder) {
        entry.name.push_back('/');
        entry.streamLength = entry.size = 0;
        entry.crc32 = 0;
        entry.stored = entry.folder = true;
        if (entry.name.size() > maxNameLength) result = ResultCode::NameTooLong;
    }
    if (!failed(result)) result = writeLocalHeader(entry, layoutOf(entry), output);
    if (failed(result)) return result;
    try {
        archive.entries.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
    return ResultCode::Success;
}

ResultCode writeZipDirectory(const ZipArchive& archive, OutputFile& output) {
    DirectoryPlace directory{archive.entries.size(), output.bytesWritten, 0};
    for (const ZipEntryRecord& entry : archive.entries) {
        const ResultCode result = writeCentralHeader(entry, layoutOf(entry), output);
        if (failed(result)) return result;
    }
    directory.size = output.bytesWritten - directory.offset;
    return writeEndRecords(directory, output);
}
