#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "containers/gzip_container.h"
#include "support/test_support.h"

namespace {

Bytes le32(uint32_t value) {
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

uint32_t readLe32(const Bytes& bytes, size_t offset) {
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 | uint32_t(bytes[offset + 2]) << 16 |
           uint32_t(bytes[offset + 3]) << 24;
}

struct Member {
    uint8_t method = 8;
    uint8_t flags = 0x00;
    uint32_t mtime = 0x59300000;
    uint8_t extraFlags = 0x00;
    uint8_t os = 0xFF;
    std::string name;  // written (with its zero) when flags has FNAME
    Bytes stream;
    uint32_t crc = 0;
    uint32_t size = 0;
};

Bytes gzipBytes(const Member& m) {
    Bytes file = concat({{0x1F, 0x8B, m.method, m.flags}, le32(m.mtime), {m.extraFlags, m.os}});
    if (m.flags & 0x08) {
        file.insert(file.end(), m.name.begin(), m.name.end());
        file.push_back(0);
    }
    return concat({file, m.stream, le32(m.crc), le32(m.size)});
}

// A member holding data, with its correct trailer.
Member memberOf(const Bytes& data) {
    Member m;
    m.stream = deflateRaw(data);
    m.crc = crc32Of(data);
    m.size = static_cast<uint32_t>(data.size());
    return m;
}

std::string success(const std::string& input, const std::string& output) {
    return banner + input + " - SUCCESS: Saved as " + output + ".\n";
}

std::string failure(const std::string& input, const std::string& message) {
    return banner + input + " - ERROR: " + message + "\n";
}

RunResult convert(const TempDir& dir, const std::string& option, const std::string& name, const Bytes& content) {
    writeFile(dir.file(name), content);
    return runQuorvexa({option, name}, dir.path);
}

// Reads a file in-process, as the driver would after detection.
ResultCode readJob(const TempDir& dir, const Bytes& content, ConversionJob& job) {
    writeFile(dir.file("in.gz"), content);
    InputFile input;
    const ResultCode opened = openInputFile(dir.file("in.gz").c_str(), input);
    if (opened != ResultCode::Success) return opened;
    job.inputFileSize = input.size;
    return readGzipContainer(job, input);
}

// Writes a job in-process into a file and returns its bytes.
Bytes writeJob(const TempDir& dir, ConversionJob& job, ResultCode& result) {
    const std::string path = dir.file("out.gz");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ByteWriter writer{fd, nullptr, 0};
    result = writeGzipContainer(job, writer);
    close(fd);
    return readFile(path);
}

ssize_t failingWrite(int, const void*, size_t) {
    errno = ENOSPC;
    return -1;
}

}  // namespace

// ---- reader ----

TEST(GzipReader, LoadsTrailerTimeMethodNameAndStream) {
    TempDir dir;
    Member m = memberOf(sampleData(3000));
    m.flags = 0x08;
    m.name = "dir/notes.txt";
    m.mtime = 0xFFFFFFF0;  // past 2038: must stay positive
    ConversionJob job;
    ASSERT_EQ(readJob(dir, gzipBytes(m), job), ResultCode::Success);
    EXPECT_TRUE(job.hasStoredName);
    EXPECT_EQ(job.storedName, bytesOf("dir/notes.txt"));
    EXPECT_EQ(job.compressionMethod, 8);
    EXPECT_EQ(job.unixTime, int64_t{0xFFFFFFF0});
    EXPECT_EQ(job.crc32, m.crc);
    EXPECT_EQ(job.uncompressedSize, 3000u);
    ASSERT_EQ(job.deflateLength, m.stream.size());
    EXPECT_EQ(Bytes(job.deflateData, job.deflateData + job.deflateLength), m.stream);
}

TEST(GzipReader, NameLongerThanOneReadBlockAndEmptyName) {
    TempDir dir;
    Member m = memberOf(bytesOf("x"));
    m.flags = 0x08;
    m.name = std::string(1000, 'n');
    ConversionJob job;
    ASSERT_EQ(readJob(dir, gzipBytes(m), job), ResultCode::Success);
    EXPECT_EQ(job.storedName, bytesOf(m.name));
    EXPECT_EQ(job.deflateLength, m.stream.size());

    m.name.clear();
    ConversionJob empty;
    ASSERT_EQ(readJob(dir, gzipBytes(m), empty), ResultCode::Success);
    EXPECT_TRUE(empty.hasStoredName);
    EXPECT_TRUE(empty.storedName.empty());
    EXPECT_EQ(empty.deflateLength, m.stream.size());
}

TEST(GzipReader, EighteenBytesIsAnEmptyStream) {
    TempDir dir;
    ConversionJob job;
    ASSERT_EQ(readJob(dir, gzipBytes(Member{}), job), ResultCode::Success);
    EXPECT_EQ(job.deflateLength, 0u);
    EXPECT_FALSE(job.hasStoredName);
}

TEST(GzipReader, TrailerIsTheLastEightBytesWhateverComesBefore) {
    TempDir dir;
    const Member first = memberOf(bytesOf("first member"));
    const Member second = memberOf(bytesOf("second"));
    const Bytes secondBytes = gzipBytes(second);
    ConversionJob job;
    ASSERT_EQ(readJob(dir, concat({gzipBytes(first), secondBytes}), job), ResultCode::Success);
    EXPECT_EQ(job.crc32, second.crc);
    EXPECT_EQ(job.uncompressedSize, 6u);
    EXPECT_EQ(job.deflateLength, first.stream.size() + 8 + secondBytes.size() - 8);
}

TEST(GzipReader, EveryMethodAndFlagByte) {
    TempDir dir;
    for (int method = 0; method < 256; ++method) {
        Member m = memberOf(bytesOf("m"));
        m.method = uint8_t(method);
        ConversionJob job;
        const ResultCode expected =
            (method <= 4 || method == 8) ? ResultCode::Success : ResultCode::UnsupportedMethod;
        EXPECT_EQ(readJob(dir, gzipBytes(m), job), expected) << "CM " << method;
        if (expected == ResultCode::Success) {
            EXPECT_EQ(job.compressionMethod, method);
        }
    }
    for (int flags = 0; flags < 256; ++flags) {
        Member m = memberOf(bytesOf("f"));
        m.flags = uint8_t(flags);
        m.name = "n";
        ConversionJob job;
        const ResultCode expected =
            (flags == 0x00 || flags == 0x08) ? ResultCode::Success : ResultCode::UnsupportedGzipFlags;
        EXPECT_EQ(readJob(dir, gzipBytes(m), job), expected) << "FLG " << flags;
    }
    // The method is judged before the flags.
    Member both = memberOf(bytesOf("b"));
    both.method = 9;
    both.flags = 0x02;
    ConversionJob job;
    EXPECT_EQ(readJob(dir, gzipBytes(both), job), ResultCode::UnsupportedMethod);
}

TEST(GzipReader, ShortFiles) {
    TempDir dir;
    const Bytes whole = gzipBytes(Member{});
    struct Case {
        Bytes content;
        ResultCode expected;
    };
    const std::vector<Case> cases = {
        {{0x1F, 0x8B}, ResultCode::UnsupportedMethod},
        {{0x1F, 0x8B, 0x08}, ResultCode::UnsupportedGzipFlags},
        {{0x1F, 0x8B, 0x08, 0x00}, ResultCode::InputTruncated},
        {Bytes(whole.begin(), whole.end() - 1), ResultCode::InputTruncated},
        // FNAME declared, file of exactly 18 bytes: no room for even the zero byte.
        {{0x1F, 0x8B, 0x08, 0x08, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0}, ResultCode::InputTruncated},
        // The name runs to the end of the file.
        {concat({{0x1F, 0x8B, 0x08, 0x08, 0, 0, 0, 0, 0, 3}, Bytes(40, 'a')}), ResultCode::InputTruncated},
        // Its only zero byte is inside the last eight.
        {concat({{0x1F, 0x8B, 0x08, 0x08, 0, 0, 0, 0, 0, 3}, bytesOf("abc"), {1, 2, 3, 0, 5, 6, 7, 8}}),
         ResultCode::InputTruncated},
    };
    for (const Case& c : cases) {
        ConversionJob job;
        EXPECT_EQ(readJob(dir, c.content, job), c.expected) << c.content.size() << " bytes";
        EXPECT_TRUE(job.deflateBuffer.empty());
    }
}

// ---- writer ----

TEST(GzipWriter, FieldsForBothOutputFormats) {
    TempDir dir;
    const Bytes stream = deflateRaw(bytesOf("hello"));
    for (FormatCode format : {FormatCode::Gzip, FormatCode::GzipWithName}) {
        ConversionJob job;
        job.outputFormat = format;
        job.compressionMethod = 3;
        job.unixTime = 0x12345678;
        job.crc32 = 0xCAFEBABE;  // carried as it is: never checked
        job.uncompressedSize = (uint64_t{1} << 32) + 5;
        job.storedName = bytesOf("name");
        job.deflateData = stream.data();
        job.deflateLength = stream.size();
        ResultCode result;
        const Bytes written = writeJob(dir, job, result);
        ASSERT_EQ(result, ResultCode::Success);
        const bool named = format == FormatCode::GzipWithName;
        const Bytes expected = concat({{0x1F, 0x8B, 0x03, uint8_t(named ? 0x08 : 0x00), 0x78, 0x56, 0x34, 0x12, 0x02, 0x03},
                                       named ? Bytes{'n', 'a', 'm', 'e', 0} : Bytes{},
                                       stream,
                                       {0xBE, 0xBA, 0xFE, 0xCA, 0x05, 0, 0, 0}});
        EXPECT_EQ(written, expected);
    }
}

TEST(GzipWriter, CompletesWhatIsMissing) {
    TempDir dir;
    const Bytes data = sampleData(40000, 3);
    const Bytes stream = deflateRaw(data);
    ConversionJob job;
    job.outputFormat = FormatCode::Gzip;
    job.crc32 = 0x11111111;  // the size is missing, so the checksum is recomputed too
    job.deflateData = stream.data();
    job.deflateLength = stream.size();
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    ResultCode result;
    const Bytes written = writeJob(dir, job, result);
    ASSERT_EQ(result, ResultCode::Success);
    EXPECT_EQ(job.compressionMethod, 8);
    EXPECT_EQ(job.crc32, crc32Of(data));
    EXPECT_EQ(job.uncompressedSize, data.size());
    EXPECT_GE(job.unixTime, before);
    ASSERT_EQ(written.size(), 18 + stream.size());
    EXPECT_EQ(written[2], 8);
    EXPECT_EQ(readLe32(written, 4), uint32_t(job.unixTime));
    EXPECT_EQ(readLe32(written, written.size() - 8), crc32Of(data));
    EXPECT_EQ(readLe32(written, written.size() - 4), data.size());
}

TEST(GzipWriter, FailuresWriteNothingOrReportTheWrite) {
    TempDir dir;
    const Bytes damaged = {0x07, 0x00};  // reserved block type
    ConversionJob job;
    job.outputFormat = FormatCode::Gzip;
    job.deflateData = damaged.data();
    job.deflateLength = damaged.size();
    ResultCode result;
    EXPECT_TRUE(writeJob(dir, job, result).empty());
    EXPECT_EQ(result, ResultCode::InflateFailed);

    const Bytes stream = deflateRaw(bytesOf("abc"));
    ConversionJob good;
    good.outputFormat = FormatCode::GzipWithName;
    good.deflateData = stream.data();
    good.deflateLength = stream.size();
    ByteWriter failing{-1, failingWrite, 0};
    EXPECT_EQ(writeGzipContainer(good, failing), ResultCode::WriteFailed);
}

// ---- conversions through the program ----

TEST(GzipConversion, FlagsNoneToGzipChangesOnlyXflAndOs) {
    TempDir dir;
    const Bytes input = gzipBytes(memberOf(sampleData(10000)));
    const RunResult run = convert(dir, "--gzip", "a.gz", input);
    EXPECT_EQ(run.err, success("a.gz", "a.gz.gz"));
    Bytes expected = input;
    expected[8] = 0x02;
    expected[9] = 0x03;
    EXPECT_EQ(readFile(dir.file("a.gz.gz")), expected);
}

TEST(GzipConversion, MtimeZeroBecomesThePresentTime) {
    TempDir dir;
    Member m = memberOf(sampleData(500));
    m.mtime = 0;
    const Bytes input = gzipBytes(m);
    const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
    convert(dir, "--gzip", "zero.gz", input);
    const uint32_t after = static_cast<uint32_t>(std::time(nullptr));
    Bytes output = readFile(dir.file("zero.gz.gz"));
    ASSERT_EQ(output.size(), input.size());
    const uint32_t mtime = readLe32(output, 4);
    EXPECT_NE(mtime, 0u);
    EXPECT_GE(mtime, before);
    EXPECT_LE(mtime, after);
    for (size_t i = 4; i < 8; ++i) output[i] = 0;
    Bytes expected = input;
    expected[8] = 0x02;
    expected[9] = 0x03;
    EXPECT_EQ(output, expected);
}

TEST(GzipConversion, StoredNameKeptWithGzipnameAndDroppedWithGzip) {
    TempDir dir;
    Member m = memberOf(sampleData(2000));
    m.flags = 0x08;
    m.name = "Original Name.TXT";
    const Bytes input = gzipBytes(m);
    writeFile(dir.file("n.gz"), input);
    EXPECT_EQ(runQuorvexa({"--gzipname", "n.gz"}, dir.path).err, success("n.gz", "n.gz.gz"));
    Bytes expected = input;
    expected[8] = 0x02;
    expected[9] = 0x03;
    EXPECT_EQ(readFile(dir.file("n.gz.gz")), expected);

    std::remove(dir.file("n.gz.gz").c_str());
    EXPECT_EQ(runQuorvexa({"--gzip", "n.gz"}, dir.path).err, success("n.gz", "n.gz.gz"));
    m.flags = 0x00;
    expected = gzipBytes(m);
    expected[8] = 0x02;
    expected[9] = 0x03;
    EXPECT_EQ(readFile(dir.file("n.gz.gz")), expected);
}

TEST(GzipConversion, EmptyStoredNameStaysEmpty) {
    TempDir dir;
    Member m = memberOf(bytesOf("data"));
    m.flags = 0x08;
    const Bytes input = gzipBytes(m);
    convert(dir, "--gzipname", "empty.gz", input);
    const Bytes output = readFile(dir.file("empty.gz.gz"));
    ASSERT_EQ(output.size(), input.size());
    EXPECT_EQ(output[3], 0x08);
    EXPECT_EQ(output[10], 0x00);
}

TEST(GzipConversion, NamesDerivedFromThePath) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("dir").c_str(), 0700), 0);
    const Member m = memberOf(bytesOf("derived"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"dir/a.txt.gz", "dir/a.txt"}, {".hidden.gz", ".hidden"}, {".gz", ".gz"}, {"noext", "noext"}};
    for (const auto& [path, name] : cases) {
        const RunResult run = convert(dir, "--gzipname", path, gzipBytes(m));
        EXPECT_EQ(run.err, success(path, path + ".gz"));
        const Bytes output = readFile(dir.file(path + ".gz"));
        ASSERT_GT(output.size(), 10 + name.size());
        EXPECT_EQ(output[3], 0x08);
        EXPECT_EQ(textOf(Bytes(output.begin() + 10, output.begin() + 10 + long(name.size()) + 1)),
                  name + std::string(1, '\0'))
            << path;
    }
}

TEST(GzipConversion, ZlibWithGzipnameGetsTheNameA) {
    TempDir dir;
    const Bytes data = sampleData(5000, 9);
    const Bytes stream = deflateRaw(data);
    const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
    const RunResult run = convert(dir, "--gzipname", "a.zlib", concat({{0x78, 0xDA}, stream, {0, 0, 0, 0}}));
    EXPECT_EQ(run.err, success("a.zlib", "a.zlib.gz"));
    const Bytes output = readFile(dir.file("a.zlib.gz"));
    ASSERT_EQ(output.size(), 10 + 2 + stream.size() + 8);
    EXPECT_EQ(Bytes(output.begin(), output.begin() + 4), (Bytes{0x1F, 0x8B, 0x08, 0x08}));
    EXPECT_GE(readLe32(output, 4), before);
    EXPECT_EQ(Bytes(output.begin() + 8, output.begin() + 12), (Bytes{0x02, 0x03, 0x61, 0x00}));
    EXPECT_EQ(Bytes(output.begin() + 12, output.end() - 8), stream);
    EXPECT_EQ(readLe32(output, output.size() - 8), crc32Of(data));
    EXPECT_EQ(readLe32(output, output.size() - 4), data.size());
}

TEST(GzipConversion, EmptyMembers) {
    TempDir dir;
    // No stream at all: checksums and size of nothing.
    convert(dir, "--gzip", "bare.gz", gzipBytes(Member{}));
    Bytes expected = gzipBytes(Member{});
    expected[8] = 0x02;
    expected[9] = 0x03;
    EXPECT_EQ(readFile(dir.file("bare.gz.gz")), expected);
    // A real empty stream: CRC and ISIZE are both 0, so it is verified, and stays 0.
    const Member empty = memberOf(Bytes{});
    convert(dir, "--gzip", "empty.gz", gzipBytes(empty));
    expected = gzipBytes(empty);
    expected[8] = 0x02;
    expected[9] = 0x03;
    EXPECT_EQ(readFile(dir.file("empty.gz.gz")), expected);
}

TEST(GzipConversion, ZeroChecksumOrSizeIsRecomputed) {
    TempDir dir;
    const Bytes data = sampleData(20000, 5);
    const Member good = memberOf(data);
    Member zeroCrc = good;
    zeroCrc.crc = 0;
    Member zeroSize = good;
    zeroSize.crc = 0xDEADBEEF;  // wrong, but replaced because the size is missing
    zeroSize.size = 0;
    Bytes expected = gzipBytes(good);
    expected[8] = 0x02;
    expected[9] = 0x03;
    for (const Member& m : {zeroCrc, zeroSize}) {
        std::remove(dir.file("z.gz.gz").c_str());
        convert(dir, "--gzip", "z.gz", gzipBytes(m));
        EXPECT_EQ(readFile(dir.file("z.gz.gz")), expected);
    }
}

TEST(GzipConversion, NonzeroChecksumsAreNeverInflated) {
    TempDir dir;
    Member m;
    m.stream = {0x07, 0x00, 0xFF, 0xFF};  // not DEFLATE at all
    m.crc = 0x01020304;
    m.size = 99;
    const Bytes input = gzipBytes(m);
    EXPECT_EQ(convert(dir, "--gzip", "bad.gz", input).err, success("bad.gz", "bad.gz.gz"));
    Bytes expected = input;
    expected[8] = 0x02;
    expected[9] = 0x03;
    EXPECT_EQ(readFile(dir.file("bad.gz.gz")), expected);

    // ZLIB output needs the Adler-32, so this stream is inflated there and fails.
    EXPECT_EQ(runQuorvexa({"--zlib", "bad.gz"}, dir.path).err, failure("bad.gz", "Inflate failed."));
    EXPECT_FALSE(pathExists(dir.file("bad.gz.zlib")));

    const RunResult zip = runQuorvexa({"--zip", "bad.gz"}, dir.path);
    if (zip.err == failure("bad.gz", "Unknown.")) GTEST_SKIP() << "ZIP output not built yet";
    EXPECT_EQ(zip.err, success("bad.gz", "bad.gz.zip"));
}

TEST(GzipConversion, RefusedMethodsAndFlags) {
    TempDir dir;
    for (int flags : {0x01, 0x02, 0x04, 0x10, 0x18, 0x20, 0x80, 0xFF}) {
        Member m = memberOf(bytesOf("x"));
        m.flags = uint8_t(flags);
        EXPECT_EQ(convert(dir, "--gzip", "f.gz", gzipBytes(m)).err, failure("f.gz", "Unsupported GZIP flags."));
    }
    for (int method : {5, 6, 7, 9, 255}) {
        Member m = memberOf(bytesOf("x"));
        m.method = uint8_t(method);
        EXPECT_EQ(convert(dir, "--gzip", "m.gz", gzipBytes(m)).err,
                  failure("m.gz", "Unsupported compression method."));
    }
    EXPECT_EQ(listDirectory(dir.path), (std::vector<std::string>{"f.gz", "m.gz"}));
}

TEST(GzipConversion, ReservedMethodsAreCarried) {
    TempDir dir;
    for (int method = 0; method <= 4; ++method) {
        Member m = memberOf(bytesOf("reserved"));
        m.method = uint8_t(method);
        const std::string name = "cm" + std::to_string(method) + ".gz";
        convert(dir, "--gzip", name, gzipBytes(m));
        const Bytes output = readFile(dir.file(name + ".gz"));
        ASSERT_GT(output.size(), 2u);
        EXPECT_EQ(output[2], method);
    }
}

TEST(GzipConversion, TruncatedFilesLeaveNoOutput) {
    TempDir dir;
    const Bytes whole = gzipBytes(memberOf(bytesOf("some data")));
    struct Case {
        Bytes content;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{0x1F}, "Unknown file format."},
        {{0x1F, 0x8B}, "Unsupported compression method."},
        {{0x1F, 0x8B, 0x08}, "Unsupported GZIP flags."},
        {Bytes(whole.begin(), whole.begin() + 17), "Input file is truncated or unreadable."},
        {concat({{0x1F, 0x8B, 0x08, 0x08, 1, 2, 3, 4, 0, 3}, bytesOf("no terminator here")}),
         "Input file is truncated or unreadable."},
        {concat({{0x1F, 0x8B, 0x08, 0x08, 1, 2, 3, 4, 0, 3}, bytesOf("name"), {0}, Bytes(7, 1)}),
         "Input file is truncated or unreadable."},
    };
    for (const Case& c : cases) {
        for (const char* option : {"--gzip", "--gzipname", "--zlib"}) {
            EXPECT_EQ(convert(dir, option, "t.gz", c.content).err, failure("t.gz", c.message)) << option;
            EXPECT_EQ(listDirectory(dir.path), std::vector<std::string>{"t.gz"});
        }
    }
}

TEST(GzipConversion, GzipToZlibAndBack) {
    TempDir dir;
    const Bytes data = sampleData(70000, 11);
    const Member m = memberOf(data);
    const uint32_t adler = adler32Of(data);
    convert(dir, "--zlib", "g.gz", gzipBytes(m));
    EXPECT_EQ(readFile(dir.file("g.gz.zlib")),
              concat({{0x78, 0xDA}, m.stream, {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)}}));

    EXPECT_EQ(runQuorvexa({"--gzip", "g.gz.zlib"}, dir.path).err, success("g.gz.zlib", "g.gz.zlib.gz"));
    const Bytes back = readFile(dir.file("g.gz.zlib.gz"));
    ASSERT_EQ(back.size(), 18 + m.stream.size());
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 4), (Bytes{0x1F, 0x8B, 0x08, 0x00}));
    EXPECT_NE(readLe32(back, 4), 0u);
    EXPECT_EQ(Bytes(back.begin() + 8, back.end()), concat({{0x02, 0x03}, m.stream, le32(m.crc), le32(m.size)}));
}

TEST(GzipConversion, EachFileOfARunGetsItsOwnNameAndTime) {
    TempDir dir;
    Member named = memberOf(bytesOf("one"));
    named.flags = 0x08;
    named.name = "first";
    named.mtime = 1000;
    writeFile(dir.file("1.gz"), gzipBytes(named));
    writeFile(dir.file("2.zlib"), zlibStream(bytesOf("two")));
    const RunResult run = runQuorvexa({"--gzipname", "1.gz", "2.zlib"}, dir.path);
    EXPECT_EQ(run.err, success("1.gz", "1.gz.gz").append("2.zlib - SUCCESS: Saved as 2.zlib.gz.\n"));
    const Bytes second = readFile(dir.file("2.zlib.gz"));
    ASSERT_GT(second.size(), 12u);
    EXPECT_NE(readLe32(second, 4), 1000u);
    EXPECT_EQ(Bytes(second.begin() + 10, second.begin() + 12), (Bytes{'2', 0}));
}
