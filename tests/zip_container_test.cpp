#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "containers/zip_container.h"
#include "stream/timestamp.h"
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

struct Entry {
    uint16_t flags = 0;
    uint16_t method = 8;
    uint16_t time = 0x6000;
    uint16_t date = 0x4AC1;
    uint32_t crc = 0;
    uint32_t compressed = 0;
    uint32_t uncompressed = 0;
    Bytes name = bytesOf("a.txt");
    Bytes extra;
    Bytes data;
};

Bytes localEntry(const Entry& e) {
    Bytes out = {0x50, 0x4B, 0x03, 0x04, 0x14, 0x00};
    putLe(out, e.flags, 2);
    putLe(out, e.method, 2);
    putLe(out, e.time, 2);
    putLe(out, e.date, 2);
    putLe(out, e.crc, 4);
    putLe(out, e.compressed, 4);
    putLe(out, e.uncompressed, 4);
    putLe(out, e.name.size(), 2);
    putLe(out, e.extra.size(), 2);
    return concat({out, e.name, e.extra, e.data});
}

Bytes centralHeader(const Entry& e, uint64_t localOffset) {
    Bytes out = {0x50, 0x4B, 0x01, 0x02, 0x14, 0x00, 0x14, 0x00};
    putLe(out, e.flags, 2);
    putLe(out, e.method, 2);
    putLe(out, e.time, 2);
    putLe(out, e.date, 2);
    putLe(out, e.crc, 4);
    putLe(out, e.compressed, 4);
    putLe(out, e.uncompressed, 4);
    putLe(out, e.name.size(), 2);
    putLe(out, e.extra.size(), 2);
    putLe(out, 0, 6);  // comment length, disk, internal attributes
    putLe(out, 0x20, 4);
    putLe(out, localOffset, 4);
    return concat({out, e.name, e.extra});
}

Bytes endRecord(uint64_t centralSize, uint32_t centralOffset, const Bytes& comment = {}) {
    Bytes out = {0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 1, 0, 1, 0};
    putLe(out, centralSize, 4);
    putLe(out, centralOffset, 4);
    putLe(out, comment.size(), 2);
    return concat({out, comment});
}

Bytes zip64Extra(uint64_t uncompressed, uint64_t compressed) {
    Bytes out = {0x01, 0x00, 0x10, 0x00};
    putLe(out, uncompressed, 8);
    putLe(out, compressed, 8);
    return out;
}

class ZipUnit : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }

    ResultCode read(const Bytes& file, ConversionJob& job) {
        writeFile(dir.file("in.zip"), file);
        InputFile input;
        EXPECT_EQ(openInputFile(dir.file("in.zip").c_str(), input), ResultCode::Success);
        job.inputFormat = FormatCode::Zip;
        job.inputFileSize = input.size;
        return readZipContainer(job, input);
    }

    ResultCode write(ConversionJob& job, Bytes& archive) {
        const std::string path = dir.file("out.zip");
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ByteWriter writer{fd, nullptr, 0};
        const ResultCode result = writeZipContainer(job, writer);
        close(fd);
        archive = readFile(path);
        return result;
    }

    TempDir dir;
};

ConversionJob streamJob(const Bytes& stream, FormatCode input, const std::string& name) {
    ConversionJob job;
    job.inputFormat = input;
    job.deflateBuffer = stream;
    job.deflateLength = stream.size();
    job.deflateData = job.deflateBuffer.data();
    job.storedName = bytesOf(name);
    return job;
}

}  // namespace

// ---- reading ----

TEST_F(ZipUnit, ReaderTakesTheLocalHeaderAndSkipsTheExtraField) {
    Entry e;
    e.flags = 0x0800;
    e.data = deflateRaw(bytesOf("some text"));
    e.crc = 0xCAFEBABE;
    e.compressed = static_cast<uint32_t>(e.data.size());
    e.uncompressed = 9;
    e.name = bytesOf("dir/n\xC3\xA4me.txt");
    e.extra = {0x55, 0x54, 0x01, 0x00, 0x07};
    ConversionJob job;
    ASSERT_EQ(read(concat({localEntry(e), bytesOf("trailing junk")}), job), ResultCode::Success);
    EXPECT_EQ(job.compressionMethod, 8);
    EXPECT_EQ(job.zipFlags, 0x0800);
    EXPECT_TRUE(job.hasStoredName);
    EXPECT_EQ(job.storedName, e.name);
    EXPECT_EQ(job.dosTime, 0x6000);
    EXPECT_EQ(job.dosDate, 0x4AC1);
    EXPECT_EQ(job.unixTime, 1496318400);
    EXPECT_EQ(job.crc32, 0xCAFEBABEu);
    EXPECT_EQ(job.uncompressedSize, 9u);
    ASSERT_EQ(job.deflateLength, e.data.size());
    EXPECT_EQ(Bytes(job.deflateData, job.deflateData + job.deflateLength), e.data);
}

TEST_F(ZipUnit, ReaderKeepsAnEmptyNameAndZeroTimeWords) {
    Entry e;
    e.name = {};
    e.time = 0;
    e.date = 0;
    ConversionJob job;
    ASSERT_EQ(read(localEntry(e), job), ResultCode::Success);
    EXPECT_TRUE(job.hasStoredName);
    EXPECT_TRUE(job.storedName.empty());
    EXPECT_EQ(job.unixTime, 312768000);  // every ZIP input gets its time converted
    EXPECT_EQ(job.deflateLength, 0u);
}

TEST_F(ZipUnit, ReaderRejectsWhatIsNotALocalHeader) {
    ConversionJob job;
    EXPECT_EQ(read({0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, job),
              ResultCode::UnknownFormat);
    EXPECT_EQ(read({0x50, 0x4B}, job), ResultCode::UnknownFormat);
    EXPECT_EQ(read({0x50, 0x4B, 0x03}, job), ResultCode::UnknownFormat);
}

TEST_F(ZipUnit, ReaderAcceptsOnlyStoredAndDeflate) {
    for (uint16_t method : {1, 9, 12, 14, 99}) {
        Entry e;
        e.method = method;
        ConversionJob job;
        EXPECT_EQ(read(localEntry(e), job), ResultCode::UnsupportedMethod) << method;
    }
    Entry stored;
    stored.method = 0;
    stored.data = bytesOf("raw");
    stored.compressed = 3;
    ConversionJob job;
    ASSERT_EQ(read(localEntry(stored), job), ResultCode::Success);
    EXPECT_EQ(job.compressionMethod, 0);
}

TEST_F(ZipUnit, ReaderRefusesEncryptedEntries) {
    for (uint16_t method : {0, 8, 99}) {
        Entry e;
        e.flags = 0x0001;
        e.method = method;
        ConversionJob job;
        EXPECT_EQ(read(localEntry(e), job), ResultCode::EncryptedEntry) << method;
    }
}

TEST_F(ZipUnit, ReaderReportsEveryCutAsTruncated) {
    Entry e;
    e.name = bytesOf("name.txt");
    e.extra = {1, 2, 3, 4, 5, 6};
    e.data = deflateRaw(sampleData(300));
    e.compressed = static_cast<uint32_t>(e.data.size());
    const Bytes whole = localEntry(e);
    // Inside the header, the name, the extra field and the data.
    for (size_t length : {4ul, 20ul, 29ul, 30ul, 33ul, 38ul, 41ul, 44ul, whole.size() - 1}) {
        ConversionJob job;
        EXPECT_EQ(read(Bytes(whole.begin(), whole.begin() + static_cast<long>(length)), job),
                  ResultCode::InputTruncated)
            << length;
    }
    // A compressed size far beyond the file is refused before anything is allocated.
    e.compressed = 0xFFFFFFF0;
    ConversionJob job;
    EXPECT_EQ(read(localEntry(e), job), ResultCode::InputTruncated);
}

TEST_F(ZipUnit, ReaderTakesDataDescriptorSizesFromTheCentralDirectory) {
    const Bytes text = sampleData(5000, 7);
    Entry local;
    local.flags = 0x0008;
    local.data = deflateRaw(text);
    Entry central = local;
    central.crc = crc32Of(text);
    central.compressed = static_cast<uint32_t>(local.data.size());
    central.uncompressed = static_cast<uint32_t>(text.size());
    Bytes descriptor = {0x50, 0x4B, 0x07, 0x08};
    putLe(descriptor, central.crc, 4);
    putLe(descriptor, central.compressed, 4);
    putLe(descriptor, central.uncompressed, 4);
    const Bytes entries = concat({localEntry(local), descriptor});
    const Bytes cd = centralHeader(central, 0);
    const Bytes archive = concat({entries, cd, endRecord(cd.size(), static_cast<uint32_t>(entries.size()),
                                                          bytesOf("a comment with PK\x05\x06 inside"))});
    ConversionJob job;
    ASSERT_EQ(read(archive, job), ResultCode::Success);
    EXPECT_EQ(job.crc32, central.crc);
    EXPECT_EQ(job.uncompressedSize, text.size());
    EXPECT_EQ(Bytes(job.deflateData, job.deflateData + job.deflateLength), local.data);

    // Without a findable or readable central directory the entry can't be read.
    ConversionJob lost;
    EXPECT_EQ(read(entries, lost), ResultCode::InputTruncated);
    ConversionJob cut;
    EXPECT_EQ(read(concat({entries, endRecord(cd.size(), static_cast<uint32_t>(entries.size()))}), cut),
              ResultCode::InputTruncated);
}

TEST_F(ZipUnit, ReaderTakesZip64SizesFromTheLocalExtraField) {
    Entry e;
    e.data = deflateRaw(bytesOf("zip64 entry"));
    e.crc = crc32Of(bytesOf("zip64 entry"));
    e.compressed = 0xFFFFFFFF;
    e.uncompressed = 0xFFFFFFFF;
    e.extra = concat({{0x55, 0x54, 0x05, 0x00, 1, 2, 3, 4, 5}, zip64Extra(11, e.data.size())});
    ConversionJob job;
    ASSERT_EQ(read(localEntry(e), job), ResultCode::Success);
    EXPECT_EQ(job.uncompressedSize, 11u);
    EXPECT_EQ(Bytes(job.deflateData, job.deflateData + job.deflateLength), e.data);

    // A ZIP64 compressed size beyond the file is refused like any other.
    e.extra = zip64Extra(11, uint64_t{1} << 40);
    ConversionJob huge;
    EXPECT_EQ(read(localEntry(e), huge), ResultCode::InputTruncated);
}

TEST_F(ZipUnit, ReaderFollowsTheZip64EndRecordToTheCentralDirectory) {
    const Bytes text = sampleData(3000, 8);
    Entry local;
    local.flags = 0x0008;
    local.data = deflateRaw(text);
    Entry central = local;
    central.crc = crc32Of(text);
    central.compressed = 0xFFFFFFFF;
    central.uncompressed = 0xFFFFFFFF;
    central.extra = zip64Extra(text.size(), local.data.size());
    const Bytes entries = localEntry(local);
    const Bytes cd = centralHeader(central, 0);
    Bytes zip64End = {0x50, 0x4B, 0x06, 0x06};
    putLe(zip64End, 44, 8);
    putLe(zip64End, 45, 2);
    putLe(zip64End, 45, 2);
    putLe(zip64End, 0, 8);
    putLe(zip64End, 1, 8);
    putLe(zip64End, 1, 8);
    putLe(zip64End, cd.size(), 8);
    putLe(zip64End, entries.size(), 8);
    Bytes locator = {0x50, 0x4B, 0x06, 0x07, 0, 0, 0, 0};
    putLe(locator, entries.size() + cd.size(), 8);
    putLe(locator, 1, 4);
    const Bytes archive = concat({entries, cd, zip64End, locator, endRecord(cd.size(), 0xFFFFFFFF)});
    ConversionJob job;
    ASSERT_EQ(read(archive, job), ResultCode::Success);
    EXPECT_EQ(job.crc32, central.crc);
    EXPECT_EQ(job.uncompressedSize, text.size());
    EXPECT_EQ(job.deflateLength, local.data.size());

    // A ZIP64 end record without its locator is a central directory that can't be found.
    ConversionJob broken;
    EXPECT_EQ(read(concat({entries, cd, zip64End, endRecord(cd.size(), 0xFFFFFFFF)}), broken),
              ResultCode::InputTruncated);
}

// ---- writing ----

TEST_F(ZipUnit, WriterLayoutIsExactByteForByte) {
    const Bytes stream = {0x4B, 0x04, 0x00, 0x01, 0x02};
    ConversionJob job = streamJob(stream, FormatCode::Zip, "x");
    job.compressionMethod = 8;
    job.crc32 = 0x11223344;
    job.uncompressedSize = 0x55667788;
    job.dosTime = 0x6000;
    job.dosDate = 0x4AC1;
    Bytes a;
    ASSERT_EQ(write(job, a), ResultCode::Success);
    ASSERT_EQ(a.size(), 105u);
    // Local header.
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 8), (Bytes{0x50, 0x4B, 0x03, 0x04, 0x14, 0x00, 0x02, 0x00}));
    EXPECT_EQ(getLe(a, 8, 2), 8u);
    EXPECT_EQ(getLe(a, 10, 2), 0x6000u);
    EXPECT_EQ(getLe(a, 12, 2), 0x4AC1u);
    EXPECT_EQ(getLe(a, 14, 4), 0x11223344u);
    EXPECT_EQ(getLe(a, 18, 4), 5u);
    EXPECT_EQ(getLe(a, 22, 4), 0x55667788u);
    EXPECT_EQ(getLe(a, 26, 2), 1u);
    EXPECT_EQ(getLe(a, 28, 2), 0u);
    EXPECT_EQ(a[30], 'x');
    EXPECT_EQ(Bytes(a.begin() + 31, a.begin() + 36), stream);
    // Central directory header.
    EXPECT_EQ(Bytes(a.begin() + 36, a.begin() + 46),
              (Bytes{0x50, 0x4B, 0x01, 0x02, 0x14, 0x00, 0x14, 0x00, 0x02, 0x00}));
    EXPECT_EQ(getLe(a, 46, 2), 8u);
    EXPECT_EQ(getLe(a, 48, 2), 0x6000u);
    EXPECT_EQ(getLe(a, 50, 2), 0x4AC1u);
    EXPECT_EQ(getLe(a, 52, 4), 0x11223344u);
    EXPECT_EQ(getLe(a, 56, 4), 5u);
    EXPECT_EQ(getLe(a, 60, 4), 0x55667788u);
    EXPECT_EQ(getLe(a, 64, 2), 1u);
    EXPECT_EQ(getLe(a, 66, 2), 0u);  // extra
    EXPECT_EQ(getLe(a, 68, 2), 0u);  // comment
    EXPECT_EQ(getLe(a, 70, 2), 0u);  // disk
    EXPECT_EQ(getLe(a, 72, 2), 0u);  // internal attributes
    EXPECT_EQ(getLe(a, 74, 4), 0x20u);
    EXPECT_EQ(getLe(a, 78, 4), 0u);
    EXPECT_EQ(a[82], 'x');
    // End record.
    EXPECT_EQ(Bytes(a.begin() + 83, a.begin() + 95), (Bytes{0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 1, 0, 1, 0}));
    EXPECT_EQ(getLe(a, 95, 4), 47u);
    EXPECT_EQ(getLe(a, 99, 4), 36u);
    EXPECT_EQ(getLe(a, 103, 2), 0u);
}

TEST_F(ZipUnit, WriterFillsInWhatIsMissing) {
    const Bytes text = sampleData(2000, 9);
    ConversionJob job = streamJob(deflateRaw(text), FormatCode::Zlib, "a");
    job.unixTime = 1496318400;
    Bytes a;
    ASSERT_EQ(write(job, a), ResultCode::Success);
    EXPECT_EQ(getLe(a, 8, 2), 8u);  // method -1 becomes deflate
    EXPECT_EQ(getLe(a, 10, 2), 0x6000u);
    EXPECT_EQ(getLe(a, 12, 2), 0x4AC1u);
    EXPECT_EQ(getLe(a, 14, 4), crc32Of(text));
    EXPECT_EQ(getLe(a, 22, 4), text.size());

    // A zero word means the time is recomputed: date word 0 reads 1979-11-30, which becomes 1980.
    ConversionJob zeroDate = streamJob(deflateRaw(text), FormatCode::Zip, "a");
    zeroDate.compressionMethod = 8;
    zeroDate.crc32 = 1;
    zeroDate.uncompressedSize = 1;
    zeroDate.dosTime = 0x6000;
    zeroDate.unixTime = dosToUnixTime(0, 0x6000);
    ASSERT_EQ(write(zeroDate, a), ResultCode::Success);
    EXPECT_EQ(getLe(a, 10, 2), 0x6000u);
    EXPECT_EQ(getLe(a, 12, 2), (11u << 5) | 30u);
}

TEST_F(ZipUnit, WriterKeepsStoredEntriesStoredAndChecksumsTheirBytes) {
    const Bytes raw = bytesOf("stored bytes, not deflate");
    ConversionJob job = streamJob(raw, FormatCode::Zip, "s.txt");
    job.compressionMethod = 0;
    job.dosTime = 0x6000;
    job.dosDate = 0x4AC1;
    Bytes a;
    ASSERT_EQ(write(job, a), ResultCode::Success);
    EXPECT_EQ(getLe(a, 8, 2), 0u);
    EXPECT_EQ(getLe(a, 14, 4), crc32Of(raw));
    EXPECT_EQ(getLe(a, 18, 4), raw.size());
    EXPECT_EQ(getLe(a, 22, 4), raw.size());
    EXPECT_EQ(Bytes(a.begin() + 35, a.begin() + 35 + static_cast<long>(raw.size())), raw);
}

TEST_F(ZipUnit, WriterReportsABrokenStreamBeforeWriting) {
    ConversionJob job = streamJob({0xFF, 0xFF, 0xFF}, FormatCode::Zlib, "a");
    Bytes a;
    EXPECT_EQ(write(job, a), ResultCode::InflateFailed);
    EXPECT_TRUE(a.empty());
}

TEST_F(ZipUnit, WriterRecomputesAGzipSizeThatMayHaveWrapped) {
    // Incompressible data, so the stream is longer than any that inflates below 4 GiB for sure.
    Bytes noise(4300000);
    uint32_t state = 12345;
    for (uint8_t& byte : noise) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    ConversionJob job = streamJob(deflateRaw(noise, 1), FormatCode::Gzip, "n");
    ASSERT_GT(job.deflateLength, 0xFFFFFFFFu / 1032);
    job.compressionMethod = 8;
    job.crc32 = crc32Of(noise);
    job.uncompressedSize = 7;  // as if ISIZE had wrapped
    job.unixTime = 1496318400;
    Bytes a;
    ASSERT_EQ(write(job, a), ResultCode::Success);
    EXPECT_EQ(getLe(a, 22, 4), noise.size());
    EXPECT_EQ(getLe(a, 14, 4), crc32Of(noise));

    // A short stream can't have wrapped: its ISIZE is written as it stands.
    ConversionJob shortJob = streamJob(deflateRaw(bytesOf("abc")), FormatCode::Gzip, "n");
    shortJob.compressionMethod = 8;
    shortJob.crc32 = 1;
    shortJob.uncompressedSize = 7;
    shortJob.unixTime = 1496318400;
    ASSERT_EQ(write(shortJob, a), ResultCode::Success);
    EXPECT_EQ(getLe(a, 22, 4), 7u);
}

TEST_F(ZipUnit, WriterUsesZip64ExtraFieldsOnlyForSizesBeyond32Bits) {
    const Bytes stream = deflateRaw(bytesOf("pretend"));
    ConversionJob job = streamJob(stream, FormatCode::Zip, "big");
    job.compressionMethod = 8;
    job.crc32 = 0xABCDEF01;
    job.uncompressedSize = 0x123456789ull;
    job.dosTime = 0x6000;
    job.dosDate = 0x4AC1;
    Bytes a;
    ASSERT_EQ(write(job, a), ResultCode::Success);
    const size_t n = 3, d = stream.size();
    ASSERT_EQ(a.size(), 98 + 2 * n + d + 2 * 20);
    EXPECT_EQ(getLe(a, 4, 2), 45u);
    EXPECT_EQ(getLe(a, 18, 4), 0xFFFFFFFFu);
    EXPECT_EQ(getLe(a, 22, 4), 0xFFFFFFFFu);
    EXPECT_EQ(getLe(a, 28, 2), 20u);
    EXPECT_EQ(Bytes(a.begin() + 33, a.begin() + 37), (Bytes{0x01, 0x00, 0x10, 0x00}));
    EXPECT_EQ(getLe(a, 37, 8), 0x123456789ull);
    EXPECT_EQ(getLe(a, 45, 8), d);
    const size_t central = 30 + n + 20 + d;
    EXPECT_EQ(getLe(a, central, 4), 0x02014B50u);
    EXPECT_EQ(getLe(a, central + 4, 2), 45u);
    EXPECT_EQ(getLe(a, central + 6, 2), 45u);
    EXPECT_EQ(getLe(a, central + 20, 4), 0xFFFFFFFFu);
    EXPECT_EQ(getLe(a, central + 24, 4), 0xFFFFFFFFu);
    EXPECT_EQ(getLe(a, central + 30, 2), 20u);
    EXPECT_EQ(getLe(a, central + 46 + n + 4, 8), 0x123456789ull);
    EXPECT_EQ(getLe(a, central + 46 + n + 12, 8), d);
    const size_t end = a.size() - 22;
    EXPECT_EQ(getLe(a, end, 4), 0x06054B50u);
    EXPECT_EQ(getLe(a, end + 12, 4), 46 + n + 20);
    EXPECT_EQ(getLe(a, end + 16, 4), central);
}

// ---- names ----

TEST(ZipNames, LeadingSlashesAndParentSegmentsAreDropped) {
    const auto clean = [](const std::string& name) { return textOf(cleanZipName(bytesOf(name))); };
    EXPECT_EQ(clean("plain.txt"), "plain.txt");
    EXPECT_EQ(clean("/tmp/x/a"), "tmp/x/a");
    EXPECT_EQ(clean("///abs"), "abs");
    EXPECT_EQ(clean("../../evil"), "evil");
    EXPECT_EQ(clean("a/../b/..c/..."), "a/b/..c/...");
    EXPECT_EQ(clean("/../a/.."), "a");
    EXPECT_EQ(clean("dir/"), "dir/");
    EXPECT_EQ(clean(".."), "");
    EXPECT_EQ(clean(""), "");
    EXPECT_EQ(clean("./x"), "./x");
}

TEST_F(ZipUnit, WriterCleansNamesAndSetsTheUtf8Flag) {
    struct Case {
        FormatCode input;
        uint16_t zipFlags;
        std::string name;
        std::string written;
        uint16_t flags;
    };
    const Case cases[] = {
        {FormatCode::Zlib, 0, "/abs/../p\xC3\xA4th", "abs/p\xC3\xA4th", 0x0802},
        {FormatCode::Gzip, 0, "plain", "plain", 0x0002},
        {FormatCode::Gzip, 0, "latin\xE4", "latin\xE4", 0x0002},         // not UTF-8
        {FormatCode::Gzip, 0, "over\xC0\xAFlong", "over\xC0\xAFlong", 0x0002},  // overlong form
        {FormatCode::Zip, 0x0800, "ascii", "ascii", 0x0802},            // carried from the input
        {FormatCode::Zip, 0x0008, "n\xC3\xA4me", "n\xC3\xA4me", 0x0002},  // only bit 11 is carried
    };
    for (const Case& c : cases) {
        ConversionJob job = streamJob(deflateRaw(bytesOf("x")), c.input, c.name);
        job.hasStoredName = c.input != FormatCode::Zlib;
        job.zipFlags = c.zipFlags;
        job.unixTime = 1496318400;
        Bytes a;
        ASSERT_EQ(write(job, a), ResultCode::Success) << c.name;
        EXPECT_EQ(getLe(a, 6, 2), c.flags) << c.name;
        ASSERT_EQ(getLe(a, 26, 2), c.written.size()) << c.name;
        EXPECT_EQ(textOf(Bytes(a.begin() + 30, a.begin() + 30 + static_cast<long>(c.written.size()))), c.written);
        const size_t central = a.size() - 22 - 46 - c.written.size();
        EXPECT_EQ(getLe(a, central + 8, 2), c.flags) << c.name;
    }
}

TEST_F(ZipUnit, WriterRefusesNamesLongerThanZipAllows) {
    ConversionJob fits = streamJob(deflateRaw(bytesOf("x")), FormatCode::Zlib, "/" + std::string(65535, 'n'));
    fits.unixTime = 1496318400;
    Bytes a;
    ASSERT_EQ(write(fits, a), ResultCode::Success);
    EXPECT_EQ(getLe(a, 26, 2), 65535u);

    ConversionJob tooLong = streamJob(deflateRaw(bytesOf("x")), FormatCode::Zlib, std::string(65536, 'n'));
    EXPECT_EQ(write(tooLong, a), ResultCode::NameTooLong);
    EXPECT_TRUE(a.empty());
}
