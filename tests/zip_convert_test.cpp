// The ZIP container end to end: the built program on archives made here, exact bytes and
// exact result lines.
#include <gtest/gtest.h>

#include "stream/stored_blocks.h"
#include "support/test_support.h"

namespace {

struct Entry {
    uint16_t flags = 0;
    uint16_t method = 8;
    uint16_t time = 0x6000;  // 2017-06-01 12:00:00, 1496318400 in UTC
    uint16_t date = 0x4AC1;
    uint32_t crc = 0;
    uint32_t compressed = 0;
    uint32_t uncompressed = 0;
    Bytes name = bytesOf("a.txt");
    Bytes extra;
    Bytes data;
};

// An entry holding text deflated, with its checksum and sizes.
Entry entryOf(const Bytes& text) {
    Entry e;
    e.data = deflateRaw(text);
    e.crc = crc32Of(text);
    e.compressed = static_cast<uint32_t>(e.data.size());
    e.uncompressed = static_cast<uint32_t>(text.size());
    return e;
}

// The fields from the flags to the extra field's length, in both headers.
Bytes headerFields(const Entry& e) {
    return concat({le16(e.flags), le16(e.method), le16(e.time), le16(e.date), le32(e.crc), le32(e.compressed),
                   le32(e.uncompressed), le16(static_cast<uint16_t>(e.name.size())),
                   le16(static_cast<uint16_t>(e.extra.size()))});
}

Bytes localEntry(const Entry& e) {
    return concat({{0x50, 0x4B, 0x03, 0x04, 0x14, 0x00}, headerFields(e), e.name, e.extra, e.data});
}

Bytes centralHeader(const Entry& e, uint32_t localOffset) {
    return concat({{0x50, 0x4B, 0x01, 0x02, 0x14, 0x00, 0x14, 0x00}, headerFields(e), {0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0},
                   le32(localOffset), e.name, e.extra});
}

Bytes endRecord(size_t centralSize, uint32_t centralOffset, const Bytes& comment = {}) {
    return concat({{0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 1, 0, 1, 0}, le32(static_cast<uint32_t>(centralSize)),
                   le32(centralOffset), le16(static_cast<uint16_t>(comment.size())), comment});
}

Bytes zip64Extra(uint64_t uncompressed, uint64_t compressed) {
    return concat({{0x01, 0x00, 0x10, 0x00}, le64(uncompressed), le64(compressed)});
}

// The archive this program writes for one entry: flags 2 plus a carried bit 11, no extra field.
Bytes expectedArchive(Entry e) {
    e.flags = static_cast<uint16_t>((e.flags & 0x0800) | 0x0002);
    e.extra.clear();
    e.compressed = static_cast<uint32_t>(e.data.size());
    const Bytes local = localEntry(e), central = centralHeader(e, 0);
    return concat({local, central, endRecord(central.size(), static_cast<uint32_t>(local.size()))});
}

// A data descriptor entry, whose sizes only the central directory has.
struct DescriptorArchive {
    Bytes entries, central;
};

DescriptorArchive descriptorArchive(const Entry& whole, const Bytes& centralExtra = {}) {
    Entry local = whole;
    local.flags = 0x0008;
    local.crc = local.compressed = local.uncompressed = 0;
    Entry central = whole;
    central.flags = 0x0008;
    if (!centralExtra.empty()) central.compressed = central.uncompressed = 0xFFFFFFFF;
    central.extra = centralExtra;
    return {concat({localEntry(local), {0x50, 0x4B, 0x07, 0x08}, le32(whole.crc), le32(whole.compressed),
                    le32(whole.uncompressed)}),
            centralHeader(central, 0)};
}

// A ZIP64 end record and its locator for a central directory behind the entries.
Bytes zip64End(const DescriptorArchive& a, bool withLocator) {
    const Bytes record = concat({{0x50, 0x4B, 0x06, 0x06}, le64(44), {45, 0, 45, 0}, le64(0), le64(1), le64(1),
                                 le64(a.central.size()), le64(a.entries.size())});
    const Bytes locator = concat({{0x50, 0x4B, 0x06, 0x07, 0, 0, 0, 0}, le64(a.entries.size() + a.central.size()), le32(1)});
    return concat({record, withLocator ? locator : Bytes{}, endRecord(a.central.size(), 0xFFFFFFFF)});
}

}  // namespace

TEST(ZipConvert, ZipToZipWritesEveryFieldAndDropsTheExtraField) {
    TempDir dir;
    Entry e;
    e.name = bytesOf("x");
    e.data = {0x4B, 0x04, 0x00, 0x01, 0x02};  // a nonzero CRC and size are carried, the stream never inflated
    e.crc = 0x11223344;
    e.compressed = 5;
    e.uncompressed = 0x55667788;
    e.extra = {0x55, 0x54, 0x01, 0x00, 0x09};
    writeFile(dir.file("a.zip"), concat({localEntry(e), bytesOf("trailing junk")}));
    const RunResult run = runQuorvexa({"a.zip"}, dir.path);
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_EQ(run.err, banner + successLine("a.zip", "a.zip.zip"));
    const Bytes expected = {
        // Local header: version 20, flags 2, method, time, date, CRC, sizes, name length 1, no extra field.
        0x50, 0x4B, 0x03, 0x04, 0x14, 0x00, 0x02, 0x00, 0x08, 0x00, 0x00, 0x60, 0xC1, 0x4A, 0x44, 0x33, 0x22, 0x11,
        0x05, 0x00, 0x00, 0x00, 0x88, 0x77, 0x66, 0x55, 0x01, 0x00, 0x00, 0x00, 'x', 0x4B, 0x04, 0x00, 0x01, 0x02,
        // Central header: made by and needs version 20, no comment, disk 0, attributes 0 and 0x20, offset 0.
        0x50, 0x4B, 0x01, 0x02, 0x14, 0x00, 0x14, 0x00, 0x02, 0x00, 0x08, 0x00, 0x00, 0x60, 0xC1, 0x4A, 0x44, 0x33,
        0x22, 0x11, 0x05, 0x00, 0x00, 0x00, 0x88, 0x77, 0x66, 0x55, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 'x',
        // End record: one entry, a central directory of 47 bytes at offset 36, no comment.
        0x50, 0x4B, 0x05, 0x06, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 47, 0x00, 0x00, 0x00, 36, 0x00, 0x00,
        0x00, 0x00, 0x00};
    EXPECT_EQ(readFile(dir.file("a.zip.zip")), expected);
    // To GZIP: the time converted in UTC, no name, the same stream and trailer.
    ASSERT_EQ(runQuorvexa({"--gzip", "a.zip"}, dir.path).err, banner + successLine("a.zip", "a.zip.gz"));
    EXPECT_EQ(readFile(dir.file("a.zip.gz")), concat({{0x1F, 0x8B, 0x08, 0x00}, le32(1496318400), {0x02, 0x03}, e.data,
                                                      le32(e.crc), le32(e.uncompressed)}));
}

TEST(ZipConvert, EmptyNameStaysEmptyAndZeroTimeWordsAreRecomputed) {
    TempDir dir;
    Entry midnight = entryOf(bytesOf("midnight"));
    midnight.name = {};
    midnight.time = 0;
    Entry zeroDate = entryOf(bytesOf("zero date"));
    zeroDate.date = 0;
    writeFile(dir.file("a.zip"), localEntry(midnight));
    writeFile(dir.file("b.zip"), localEntry(zeroDate));
    ASSERT_EQ(runQuorvexa({"a.zip", "b.zip"}, dir.path).err,
              banner + successLine("a.zip", "a.zip.zip") + successLine("b.zip", "b.zip.zip"));
    // 2017-06-01 00:00:00 read and written back in UTC: the same words.
    EXPECT_EQ(readFile(dir.file("a.zip.zip")), expectedArchive(midnight));
    // Date word 0 reads as 1979-11-30, which is written as 1980-11-30.
    zeroDate.date = (11 << 5) | 30;
    EXPECT_EQ(readFile(dir.file("b.zip.zip")), expectedArchive(zeroDate));
}

TEST(ZipConvert, RefusedEntriesGiveTheirMessagesAndNoOutput) {
    TempDir dir;
    std::vector<std::pair<std::string, Bytes>> files = {{"end.zip", concat({{0x50, 0x4B, 0x05, 0x06}, Bytes(18, 0)})},
                                                        {"short.zip", {0x50, 0x4B, 0x03}},
                                                        {"bad.zlib", {0x78, 0xDA, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}}};
    std::string expected = banner + errorLine("end.zip", "Unknown file format.") +
                           errorLine("short.zip", "Unknown file format.") + errorLine("bad.zlib", "Inflate failed.");
    for (uint16_t method : {1, 9, 12, 14, 99}) {
        Entry e = entryOf(bytesOf("x"));
        e.method = method;
        files.emplace_back("m" + std::to_string(method), localEntry(e));
        expected += errorLine(files.back().first, "Unsupported compression method.");
    }
    for (uint16_t method : {0, 8, 99}) {  // encryption is judged before the method
        Entry e = entryOf(bytesOf("x"));
        e.flags = 0x0001;
        e.method = method;
        files.emplace_back("enc" + std::to_string(method), localEntry(e));
        expected += errorLine(files.back().first, "Encrypted ZIP entries are not supported.");
    }
    std::vector<std::string> arguments;
    for (const auto& [name, content] : files) {
        writeFile(dir.file(name), content);
        arguments.push_back(name);
    }
    EXPECT_EQ(runQuorvexa(arguments, dir.path).err, expected);
    EXPECT_EQ(listDirectory(dir.path).size(), files.size());
}

TEST(ZipConvert, TruncatedArchivesGive16AndNoOutput) {
    TempDir dir;
    Entry e = entryOf(sampleData(300));
    e.name = bytesOf("name.txt");
    e.extra = {1, 2, 3, 4, 5, 6};
    const Bytes whole = localEntry(e);
    std::vector<Bytes> files;
    // Cut inside the header, the name, the extra field and the data.
    for (size_t length : {4ul, 20ul, 29ul, 30ul, 33ul, 38ul, 41ul, 44ul, whole.size() - 1}) {
        files.emplace_back(whole.begin(), whole.begin() + static_cast<long>(length));
    }
    // Sizes far beyond the file are refused before anything is allocated.
    Entry huge = e;
    huge.compressed = 0xFFFFFFF0;
    files.push_back(localEntry(huge));
    huge.compressed = huge.uncompressed = 0xFFFFFFFF;
    huge.extra = zip64Extra(11, uint64_t{1} << 40);
    files.push_back(localEntry(huge));
    // A data descriptor entry whose central directory is missing, or can't be found.
    const DescriptorArchive dd = descriptorArchive(e);
    files.push_back(dd.entries);
    files.push_back(concat({dd.entries, endRecord(dd.central.size(), static_cast<uint32_t>(dd.entries.size()))}));
    files.push_back(concat({dd.entries, dd.central, zip64End(dd, false)}));  // a ZIP64 end record without its locator

    std::vector<std::string> arguments = {"--zip"};
    std::string expected = banner;
    for (size_t i = 0; i < files.size(); ++i) {
        arguments.push_back("cut" + std::to_string(i) + ".zip");
        writeFile(dir.file(arguments.back()), files[i]);
        expected += errorLine(arguments.back(), "Input file is truncated or unreadable.");
    }
    EXPECT_EQ(runQuorvexa(arguments, dir.path).err, expected);
    arguments[0] = "--gzip";
    EXPECT_EQ(runQuorvexa(arguments, dir.path).err, expected);
    EXPECT_EQ(listDirectory(dir.path).size(), files.size()) << "no output may be left behind";
}

TEST(ZipConvert, DataDescriptorEntryKeepsItsData) {
    TempDir dir;
    Entry e = entryOf(sampleData(9000, 13));
    const DescriptorArchive dd = descriptorArchive(e);
    writeFile(dir.file("dd.zip"), concat({dd.entries, dd.central,
                                          endRecord(dd.central.size(), static_cast<uint32_t>(dd.entries.size()),
                                                    bytesOf("a comment with PK\x05\x06 inside"))}));
    ASSERT_EQ(runQuorvexa({"dd.zip"}, dir.path).err, banner + successLine("dd.zip", "dd.zip.zip"));
    EXPECT_EQ(readFile(dir.file("dd.zip.zip")), expectedArchive(e));
    ASSERT_EQ(runQuorvexa({"--gzip", "dd.zip"}, dir.path).err, banner + successLine("dd.zip", "dd.zip.gz"));
    EXPECT_EQ(readFile(dir.file("dd.zip.gz")), concat({{0x1F, 0x8B, 0x08, 0x00}, le32(1496318400), {0x02, 0x03}, e.data,
                                                       le32(e.crc), le32(e.uncompressed)}));
}

TEST(ZipConvert, Zip64SizesAreReadFromTheLocalHeaderOrThroughTheZip64EndRecord) {
    TempDir dir;
    const Entry e = entryOf(sampleData(3000, 8));
    Entry local = e;
    local.compressed = local.uncompressed = 0xFFFFFFFF;
    local.extra = concat({{0x55, 0x54, 0x05, 0x00, 1, 2, 3, 4, 5}, zip64Extra(e.uncompressed, e.compressed)});
    writeFile(dir.file("local.zip"), localEntry(local));
    const DescriptorArchive dd = descriptorArchive(e, zip64Extra(e.uncompressed, e.compressed));
    writeFile(dir.file("end.zip"), concat({dd.entries, dd.central, zip64End(dd, true)}));
    ASSERT_EQ(runQuorvexa({"local.zip", "end.zip"}, dir.path).err,
              banner + successLine("local.zip", "local.zip.zip") + successLine("end.zip", "end.zip.zip"));
    EXPECT_EQ(readFile(dir.file("local.zip.zip")), expectedArchive(e));
    EXPECT_EQ(readFile(dir.file("end.zip.zip")), expectedArchive(e));
}

TEST(ZipConvert, StoredEntryStaysStoredInZipAndIsFramedForGzip) {
    TempDir dir;
    const Bytes raw = sampleData(150000, 14);
    Entry e;
    e.method = 0;
    e.name = bytesOf("s.bin");
    e.data = raw;
    e.compressed = static_cast<uint32_t>(raw.size());  // CRC and size missing: computed from the bytes
    writeFile(dir.file("s.zip"), localEntry(e));
    ASSERT_EQ(runQuorvexa({"s.zip", "--gzip"}, dir.path).err, banner + successLine("s.zip", "s.zip.gz"));
    EXPECT_EQ(readFile(dir.file("s.zip.gz")),
              concat({{0x1F, 0x8B, 0x08, 0x00}, le32(1496318400), {0x02, 0x03}, frameAsStoredBlocks(raw.data(), raw.size()),
                      le32(crc32Of(raw)), le32(static_cast<uint32_t>(raw.size()))}));
    ASSERT_EQ(runQuorvexa({"--zip", "s.zip"}, dir.path).err, banner + successLine("s.zip", "s.zip.zip"));
    e.crc = crc32Of(raw);
    e.uncompressed = static_cast<uint32_t>(raw.size());
    EXPECT_EQ(readFile(dir.file("s.zip.zip")), expectedArchive(e));
}

TEST(ZipConvert, NamesAreCleanedWhenWritten) {
    TempDir dir;
    Entry e = entryOf(bytesOf("payload"));
    e.flags = 0x0800;
    e.name = bytesOf("/../../etc/x");
    writeFile(dir.file("evil.zip"), localEntry(e));
    ASSERT_EQ(runQuorvexa({"evil.zip"}, dir.path).err, banner + successLine("evil.zip", "evil.zip.zip"));
    e.name = bytesOf("etc/x");  // the UTF-8 flag is carried
    EXPECT_EQ(readFile(dir.file("evil.zip.zip")), expectedArchive(e));

    // A name derived from an absolute path loses its leading slash; non-ASCII UTF-8 sets bit 11.
    const std::string input = dir.file("d\xC3\xA9j\xC3\xA0.zlib");
    writeFile(input, zlibStream(bytesOf("payload")));
    ASSERT_EQ(runQuorvexa({input}, dir.path).err, banner + successLine(input, input + ".zip"));
    const Bytes derived = readFile(input + ".zip");
    const std::string expectedName = dir.path.substr(1) + "/d\xC3\xA9j\xC3\xA0";
    EXPECT_EQ(loadLe(derived, 6, 2), 0x0802u);
    ASSERT_EQ(loadLe(derived, 26, 2), expectedName.size());
    EXPECT_EQ(textOf(Bytes(derived.begin() + 30, derived.begin() + 30 + static_cast<long>(expectedName.size()))),
              expectedName);
}
