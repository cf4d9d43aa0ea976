// The ZIP container end to end: the built program on archives made here, exact bytes and
// exact result lines.
#include <gtest/gtest.h>
#include <zlib.h>

#include "support/test_support.h"

namespace {

void putLe(Bytes& out, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t getLe(const Bytes& bytes, size_t offset, int width) {
    uint64_t value = 0;
    for (int i = width; i-- > 0;) value = (value << 8) | bytes.at(offset + static_cast<size_t>(i));
    return value;
}

// Local header fields from offset 4 (version) to 29 (extra length), then name, extra, data.
Bytes localEntry(uint16_t flags, uint16_t method, uint16_t time, uint16_t date, uint32_t crc, uint32_t compressed,
                 uint32_t uncompressed, const Bytes& name, const Bytes& extra, const Bytes& data) {
    Bytes out = {0x50, 0x4B, 0x03, 0x04, 0x0A, 0x00};
    putLe(out, flags, 2);
    putLe(out, method, 2);
    putLe(out, time, 2);
    putLe(out, date, 2);
    putLe(out, crc, 4);
    putLe(out, compressed, 4);
    putLe(out, uncompressed, 4);
    putLe(out, name.size(), 2);
    putLe(out, extra.size(), 2);
    return concat({out, name, extra, data});
}

// The archive this program writes for one entry with flags 2 and no extra fields.
Bytes expectedArchive(uint16_t method, uint16_t time, uint16_t date, uint32_t crc, uint32_t uncompressed,
                      const Bytes& name, const Bytes& data) {
    Bytes fields;
    putLe(fields, method, 2);
    putLe(fields, time, 2);
    putLe(fields, date, 2);
    putLe(fields, crc, 4);
    putLe(fields, data.size(), 4);
    putLe(fields, uncompressed, 4);
    putLe(fields, name.size(), 2);
    putLe(fields, 0, 2);
    const Bytes local = concat({{0x50, 0x4B, 0x03, 0x04, 0x14, 0x00, 0x02, 0x00}, fields, name, data});
    Bytes tail = {0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0};
    const Bytes central = concat({{0x50, 0x4B, 0x01, 0x02, 0x14, 0x00, 0x14, 0x00, 0x02, 0x00}, fields, tail, name});
    Bytes end = {0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 1, 0, 1, 0};
    putLe(end, central.size(), 4);
    putLe(end, local.size(), 4);
    putLe(end, 0, 2);
    return concat({local, central, end});
}

Bytes gunzipInProcess(const Bytes& gz, size_t expectedSize) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 16 + 15), Z_OK);
    Bytes out(expectedSize + 1);
    z.next_in = const_cast<Bytef*>(gz.data());
    z.avail_in = static_cast<uInt>(gz.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);  // checks the CRC-32 and ISIZE too
    out.resize(z.total_out);
    inflateEnd(&z);
    return out;
}

std::string errorLine(const std::string& input, const std::string& message) {
    return banner + input + " - ERROR: " + message + "\n";
}

}  // namespace

TEST(ZipConvert, ZipToZipCarriesTheEntryAndDropsTheExtraField) {
    TempDir dir;
    const Bytes text = sampleData(4000, 11);
    const Bytes stream = deflateRaw(text);
    const Bytes name = bytesOf("docs/read me.txt");
    writeFile(dir.file("a.zip"), localEntry(0, 8, 0x7B2D, 0x5A21, crc32Of(text), static_cast<uint32_t>(stream.size()),
                                             static_cast<uint32_t>(text.size()), name, {0x55, 0x54, 0x01, 0x00, 0x09},
                                             stream));
    const RunResult run = runQuorvexa({"a.zip"}, dir.path);
    EXPECT_EQ(run.exitCode, 0);
    ASSERT_EQ(run.err, banner + "a.zip - SUCCESS: Saved as a.zip.zip.\n");
    EXPECT_EQ(readFile(dir.file("a.zip.zip")),
              expectedArchive(8, 0x7B2D, 0x5A21, crc32Of(text), static_cast<uint32_t>(text.size()), name, stream));
}

TEST(ZipConvert, EmptyNameStaysEmptyAndTimeWordZeroIsRecomputed) {
    TempDir dir;
    const Bytes text = bytesOf("midnight");
    const Bytes stream = deflateRaw(text);
    writeFile(dir.file("a.zip"), localEntry(0, 8, 0, 0x4AC1, crc32Of(text), static_cast<uint32_t>(stream.size()),
                                             static_cast<uint32_t>(text.size()), {}, {}, stream));
    ASSERT_EQ(runQuorvexa({"a.zip"}, dir.path).err, banner + "a.zip - SUCCESS: Saved as a.zip.zip.\n");
    // 2017-06-01 00:00:00 read and written back in UTC: the same words.
    EXPECT_EQ(readFile(dir.file("a.zip.zip")),
              expectedArchive(8, 0, 0x4AC1, crc32Of(text), static_cast<uint32_t>(text.size()), {}, stream));
}

TEST(ZipConvert, RefusedEntriesGiveTheirMessagesAndNoOutput) {
    TempDir dir;
    const Bytes stream = deflateRaw(bytesOf("x"));
    writeFile(dir.file("empty.zip"), {0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    writeFile(dir.file("m12.zip"), localEntry(0, 12, 1, 1, 1, 3, 1, bytesOf("x"), {}, stream));
    writeFile(dir.file("enc.zip"), localEntry(1, 8, 1, 1, 1, 3, 1, bytesOf("x"), {}, stream));
    const struct {
        std::string file;
        std::string message;
    } cases[] = {
        {"empty.zip", "Unknown file format."},
        {"m12.zip", "Unsupported compression method."},
        {"enc.zip", "Encrypted ZIP entries are not supported."},
    };
    for (const auto& c : cases) {
        const RunResult run = runQuorvexa({c.file}, dir.path);
        EXPECT_EQ(run.err, errorLine(c.file, c.message));
        EXPECT_FALSE(pathExists(dir.file(c.file + ".zip")));
    }
}

TEST(ZipConvert, TruncatedArchivesGive16AndNoOutput) {
    TempDir dir;
    const Bytes text = sampleData(2000, 12);
    const Bytes stream = deflateRaw(text);
    const Bytes whole = localEntry(0, 8, 1, 1, crc32Of(text), static_cast<uint32_t>(stream.size()),
                                   static_cast<uint32_t>(text.size()), bytesOf("name"), {1, 2, 3, 4}, stream);
    for (size_t length : {12ul, 29ul, 32ul, 36ul, whole.size() - 1}) {
        const std::string file = "cut" + std::to_string(length) + ".zip";
        writeFile(dir.file(file), Bytes(whole.begin(), whole.begin() + static_cast<long>(length)));
        for (const char* option : {"--zip", "--gzip"}) {
            const RunResult run = runQuorvexa({option, file}, dir.path);
            EXPECT_EQ(run.err, errorLine(file, "Input file is truncated or unreadable.")) << option;
        }
    }
    EXPECT_EQ(listDirectory(dir.path).size(), 5u) << "no output may be left behind";
}

TEST(ZipConvert, DataDescriptorEntryKeepsItsData) {
    TempDir dir;
    const Bytes text = sampleData(9000, 13);
    const Bytes stream = deflateRaw(text);
    const Bytes name = bytesOf("dd.bin");
    Bytes descriptor = {0x50, 0x4B, 0x07, 0x08};
    putLe(descriptor, crc32Of(text), 4);
    putLe(descriptor, stream.size(), 4);
    putLe(descriptor, text.size(), 4);
    const Bytes entries = concat({localEntry(8, 8, 0x6000, 0x4AC1, 0, 0, 0, name, {}, stream), descriptor});
    const Bytes expected = expectedArchive(8, 0x6000, 0x4AC1, crc32Of(text), static_cast<uint32_t>(text.size()),
                                           name, stream);
    // The central directory of the expected archive has exactly the fields the input's needs.
    const size_t centralOffset = 30 + name.size() + stream.size();
    Bytes central(expected.begin() + static_cast<long>(centralOffset), expected.end() - 22);
    central[8] = 0x08;  // the data descriptor flag
    Bytes end = {0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 1, 0, 1, 0};
    putLe(end, central.size(), 4);
    putLe(end, entries.size(), 4);
    putLe(end, 0, 2);
    writeFile(dir.file("dd.zip"), concat({entries, central, end}));

    ASSERT_EQ(runQuorvexa({"dd.zip"}, dir.path).err, banner + "dd.zip - SUCCESS: Saved as dd.zip.zip.\n");
    EXPECT_EQ(readFile(dir.file("dd.zip.zip")), expected);
    ASSERT_EQ(runQuorvexa({"--gzip", "dd.zip"}, dir.path).err, banner + "dd.zip - SUCCESS: Saved as dd.zip.gz.\n");
    const Bytes gz = readFile(dir.file("dd.zip.gz"));
    EXPECT_EQ(getLe(gz, gz.size() - 8, 4), crc32Of(text));
    EXPECT_EQ(gunzipInProcess(gz, text.size()), text);
}

TEST(ZipConvert, StoredEntryStaysStoredInZipAndIsFramedForGzipAndZlib) {
    TempDir dir;
    const Bytes raw = sampleData(150000, 14);
    writeFile(dir.file("s.zip"), localEntry(0, 0, 0x6000, 0x4AC1, 0, static_cast<uint32_t>(raw.size()), 0,
                                             bytesOf("s.bin"), {}, raw));
    const RunResult run = runQuorvexa({"s.zip", "--gzip"}, dir.path);
    ASSERT_EQ(run.err, banner + "s.zip - SUCCESS: Saved as s.zip.gz.\n");
    const Bytes gz = readFile(dir.file("s.zip.gz"));
    EXPECT_EQ(gz[2], 8) << "CM is deflate";
    EXPECT_EQ(gunzipInProcess(gz, raw.size()), raw);

    ASSERT_EQ(runQuorvexa({"--zlib", "s.zip"}, dir.path).err, banner + "s.zip - SUCCESS: Saved as s.zip.zlib.\n");
    const Bytes zlib = readFile(dir.file("s.zip.zlib"));
    uLongf length = static_cast<uLongf>(raw.size());
    Bytes inflated(raw.size());
    ASSERT_EQ(uncompress(inflated.data(), &length, zlib.data(), static_cast<uLong>(zlib.size())), Z_OK);
    EXPECT_EQ(inflated, raw);

    ASSERT_EQ(runQuorvexa({"--zip", "s.zip"}, dir.path).err, banner + "s.zip - SUCCESS: Saved as s.zip.zip.\n");
    EXPECT_EQ(readFile(dir.file("s.zip.zip")),
              expectedArchive(0, 0x6000, 0x4AC1, crc32Of(raw), static_cast<uint32_t>(raw.size()), bytesOf("s.bin"),
                              raw));
}

TEST(ZipConvert, NamesAreCleanedWhenWritten) {
    TempDir dir;
    const Bytes text = bytesOf("payload");
    const Bytes stream = deflateRaw(text);
    writeFile(dir.file("evil.zip"), localEntry(0x0800, 8, 0x6000, 0x4AC1, crc32Of(text),
                                                static_cast<uint32_t>(stream.size()),
                                                static_cast<uint32_t>(text.size()), bytesOf("/../../etc/x"), {}, stream));
    ASSERT_EQ(runQuorvexa({"evil.zip"}, dir.path).err, banner + "evil.zip - SUCCESS: Saved as evil.zip.zip.\n");
    const Bytes out = readFile(dir.file("evil.zip.zip"));
    EXPECT_EQ(getLe(out, 6, 2), 0x0802u) << "the UTF-8 flag is carried";
    ASSERT_EQ(getLe(out, 26, 2), 5u);
    EXPECT_EQ(textOf(Bytes(out.begin() + 30, out.begin() + 35)), "etc/x");

    // A name derived from an absolute path loses its leading slash; non-ASCII UTF-8 sets bit 11.
    writeFile(dir.file("d\xC3\xA9j\xC3\xA0.zlib"), zlibStream(text));
    const std::string input = dir.file("d\xC3\xA9j\xC3\xA0.zlib");
    ASSERT_EQ(runQuorvexa({input}, dir.path).err, banner + input + " - SUCCESS: Saved as " + input + ".zip.\n");
    const Bytes derived = readFile(input + ".zip");
    const std::string expectedName = dir.path.substr(1) + "/d\xC3\xA9j\xC3\xA0";
    EXPECT_EQ(getLe(derived, 6, 2), 0x0802u);
    ASSERT_EQ(getLe(derived, 26, 2), expectedName.size());
    EXPECT_EQ(textOf(Bytes(derived.begin() + 30, derived.begin() + 30 + static_cast<long>(expectedName.size()))),
              expectedName);
}
