// The GZIP container: the reader and writer where the program can't reach (sizes past 32 bits,
// a failing disk, a time past 2038 in memory), and everything else through the built program.
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
    const Bytes name = (m.flags & 0x08) ? concat({bytesOf(m.name), {0}}) : Bytes{};
    return concat({{0x1F, 0x8B, m.method, m.flags}, le32(m.mtime), {m.extraFlags, m.os}, name, m.stream, le32(m.crc),
                   le32(m.size)});
}

// A member holding data, with its correct trailer.
Member memberOf(const Bytes& data) {
    Member m;
    m.stream = deflateRaw(data);
    m.crc = crc32Of(data);
    m.size = static_cast<uint32_t>(data.size());
    return m;
}

// What this program writes for a GZIP input it carries unchanged: only XFL and OS differ.
Bytes withOurXflAndOs(Bytes file) {
    file[8] = 0x02;
    file[9] = 0x03;
    return file;
}

RunResult convert(const TempDir& dir, const std::string& option, const std::string& name, const Bytes& content) {
    writeFile(dir.file(name), content);
    return runQuorvexa({option, name}, dir.path);
}

ssize_t failingWrite(int, const void*, size_t) {
    errno = ENOSPC;
    return -1;
}

}  // namespace

TEST(GzipReader, LoadsALongNameATimePast2038AndTheTrailer) {
    TempDir dir;
    Member m = memberOf(sampleData(3000));
    m.flags = 0x08;
    m.name = std::string(1000, 'n');  // longer than one read block
    m.mtime = 0xFFFFFFF0;             // must stay positive
    writeFile(dir.file("in.gz"), gzipBytes(m));
    InputFile input;
    ASSERT_EQ(openInputFile(dir.file("in.gz").c_str(), input), ResultCode::Success);
    ConversionJob job;
    job.inputFileSize = input.size;
    ASSERT_EQ(readGzipContainer(job, input), ResultCode::Success);
    EXPECT_EQ(job.storedName, bytesOf(m.name));
    EXPECT_EQ(job.unixTime, int64_t{0xFFFFFFF0});
    EXPECT_EQ(job.crc32, m.crc);
    EXPECT_EQ(job.uncompressedSize, 3000u);
    EXPECT_EQ(Bytes(job.deflateData, job.deflateData + job.deflateLength), m.stream);
}

TEST(GzipWriter, WritesBothFormatsAndReportsAFailedWrite) {
    TempDir dir;
    const Bytes stream = deflateRaw(bytesOf("hello"));
    for (FormatCode format : {FormatCode::Gzip, FormatCode::GzipWithName}) {
        ConversionJob job;
        job.outputFormat = format;
        job.compressionMethod = 3;
        job.unixTime = 0x12345678;
        job.crc32 = 0xCAFEBABE;
        job.uncompressedSize = (uint64_t{1} << 32) + 5;  // ISIZE is the size modulo 2^32
        job.storedName = bytesOf("name");
        job.deflateData = stream.data();
        job.deflateLength = stream.size();
        const int fd = open(dir.file("out.gz").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ByteWriter writer{fd, nullptr, 0};
        ASSERT_EQ(writeGzipContainer(job, writer), ResultCode::Success);
        close(fd);
        const bool named = format == FormatCode::GzipWithName;
        EXPECT_EQ(readFile(dir.file("out.gz")),
                  concat({{0x1F, 0x8B, 0x03, uint8_t(named ? 0x08 : 0x00), 0x78, 0x56, 0x34, 0x12, 0x02, 0x03},
                          named ? bytesOf(std::string("name", 5)) : Bytes{}, stream,
                          {0xBE, 0xBA, 0xFE, 0xCA, 0x05, 0, 0, 0}}));
        ByteWriter failing{-1, failingWrite, 0};
        EXPECT_EQ(writeGzipContainer(job, failing), ResultCode::WriteFailed);
    }
}

// Inputs whose output is the input itself but for XFL and OS.
TEST(GzipConversion, CarriedMembersChangeOnlyXflAndOs) {
    TempDir dir;
    const Member first = memberOf(bytesOf("first member"));
    Member named = memberOf(sampleData(2000));
    named.flags = 0x08;
    named.name = "Original Name.TXT";
    Member emptyName = memberOf(bytesOf("data"));
    emptyName.flags = 0x08;
    Member damaged;  // not DEFLATE at all: a nonzero CRC and ISIZE are carried, never inflated
    damaged.stream = {0x07, 0x00, 0xFF, 0xFF};
    damaged.crc = 0x01020304;
    damaged.size = 99;
    const struct {
        std::string name, option;
        Bytes input;
    } cases[] = {
        {"plain", "--gzip", gzipBytes(memberOf(sampleData(10000)))},
        {"named", "--gzipname", gzipBytes(named)},
        {"empty-name", "--gzipname", gzipBytes(emptyName)},
        {"bare", "--gzip", gzipBytes(Member{})},  // 18 bytes: no stream, and the checksums of nothing
        {"empty-stream", "--gzip", gzipBytes(memberOf({}))},
        {"two-members", "--gzip", concat({gzipBytes(first), gzipBytes(memberOf(bytesOf("second")))})},  // trailer: last 8
        {"damaged", "--gzip", gzipBytes(damaged)},
    };
    for (const auto& [name, option, input] : cases) {
        EXPECT_EQ(convert(dir, option, name, input).err, banner + successLine(name, name + ".gz"));
        EXPECT_EQ(readFile(dir.file(name + ".gz")), withOurXflAndOs(input)) << name;
    }
    // The damaged stream only fails where an Adler-32 must be computed.
    EXPECT_EQ(runQuorvexa({"--zlib", "damaged"}, dir.path).err, banner + errorLine("damaged", "Inflate failed."));
    EXPECT_EQ(runQuorvexa({"--zip", "damaged"}, dir.path).err, banner + successLine("damaged", "damaged.zip"));
}

TEST(GzipConversion, StoredNameIsDroppedWithGzipAndMtimeZeroBecomesThePresentTime) {
    TempDir dir;
    Member m = memberOf(sampleData(2000));
    m.flags = 0x08;
    m.name = "Original Name.TXT";
    EXPECT_EQ(convert(dir, "--gzip", "n.gz", gzipBytes(m)).err, banner + successLine("n.gz", "n.gz.gz"));
    m.flags = 0x00;
    EXPECT_EQ(readFile(dir.file("n.gz.gz")), withOurXflAndOs(gzipBytes(m)));

    m.mtime = 0;
    const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
    convert(dir, "--gzip", "zero.gz", gzipBytes(m));
    Bytes output = readFile(dir.file("zero.gz.gz"));
    EXPECT_GE(loadLe(output, 4, 4), before);
    EXPECT_LE(loadLe(output, 4, 4), static_cast<uint32_t>(std::time(nullptr)));
    std::fill(output.begin() + 4, output.begin() + 8, 0);
    EXPECT_EQ(output, withOurXflAndOs(gzipBytes(m)));
}

TEST(GzipConversion, ZeroChecksumOrSizeIsRecomputed) {
    TempDir dir;
    const Member good = memberOf(sampleData(20000, 5));
    Member zeroCrc = good;
    zeroCrc.crc = 0;
    Member zeroSize = good;
    zeroSize.crc = 0xDEADBEEF;  // wrong, but replaced because the size is missing
    zeroSize.size = 0;
    for (const Member& m : {zeroCrc, zeroSize}) {
        std::remove(dir.file("z.gz.gz").c_str());
        convert(dir, "--gzip", "z.gz", gzipBytes(m));
        EXPECT_EQ(readFile(dir.file("z.gz.gz")), withOurXflAndOs(gzipBytes(good)));
    }
}

TEST(GzipConversion, NamesDerivedFromThePath) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("dir").c_str(), 0700), 0);
    const Bytes input = zlibStream(bytesOf("derived"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"dir/a.txt.gz", "dir/a.txt"}, {".hidden.gz", ".hidden"}, {".gz", ".gz"}, {"noext", "noext"}};
    for (const auto& [path, name] : cases) {
        EXPECT_EQ(convert(dir, "--gzipname", path, input).err, banner + successLine(path, path + ".gz"));
        const Bytes output = readFile(dir.file(path + ".gz"));
        EXPECT_EQ(output[3], 0x08);
        EXPECT_EQ(Bytes(output.begin() + 10, output.begin() + 11 + long(name.size())), bytesOf(name + '\0')) << path;
    }
}

TEST(GzipConversion, ZlibWithGzipnameGetsTheNameA) {
    TempDir dir;
    const Bytes data = sampleData(5000, 9);
    const Bytes stream = deflateRaw(data);
    const uint32_t before = static_cast<uint32_t>(std::time(nullptr));
    EXPECT_EQ(convert(dir, "--gzipname", "a.zlib", concat({{0x78, 0xDA}, stream, {0, 0, 0, 0}})).err,
              banner + successLine("a.zlib", "a.zlib.gz"));
    const Bytes output = readFile(dir.file("a.zlib.gz"));
    EXPECT_GE(loadLe(output, 4, 4), before);
    const Bytes mtime(output.begin() + 4, output.begin() + 8);
    EXPECT_EQ(output, concat({{0x1F, 0x8B, 0x08, 0x08}, mtime, {0x02, 0x03, 0x61, 0x00}, stream, le32(crc32Of(data)),
                              le32(static_cast<uint32_t>(data.size()))}));
}

TEST(GzipConversion, GzipToZlibCarriesTheStream) {
    TempDir dir;
    const Bytes data = sampleData(70000, 11);
    const Member m = memberOf(data);
    convert(dir, "--zlib", "g.gz", gzipBytes(m));
    EXPECT_EQ(readFile(dir.file("g.gz.zlib")), concat({{0x78, 0xDA}, m.stream, be32(adler32Of(data))}));
}

// Every method and flag byte, in one run: CM 0-4 and 8 are carried, FLG 00 and 08 accepted.
TEST(GzipConversion, EveryMethodAndFlagByte) {
    TempDir dir;
    std::vector<std::string> arguments = {"--gzip"};
    std::string expected = banner;
    for (int value = 0; value < 256; ++value) {
        Member m = memberOf(bytesOf("m"));
        m.method = uint8_t(value);
        const std::string cm = "cm" + std::to_string(value);
        writeFile(dir.file(cm), gzipBytes(m));
        const bool carried = value <= 4 || value == 8;
        expected += carried ? successLine(cm, cm + ".gz") : errorLine(cm, "Unsupported compression method.");
        arguments.push_back(cm);
        if (value == 0x00 || value == 0x08) continue;
        Member f = memberOf(bytesOf("f"));
        f.flags = uint8_t(value);
        f.name = "n";
        f.method = value == 0x02 ? 9 : 8;  // the method is judged before the flags
        const std::string flg = "flg" + std::to_string(value);
        writeFile(dir.file(flg), gzipBytes(f));
        expected += errorLine(flg, value == 0x02 ? "Unsupported compression method." : "Unsupported GZIP flags.");
        arguments.push_back(flg);
    }
    EXPECT_EQ(runQuorvexa(arguments, dir.path).err, expected);
    for (int method = 0; method <= 4; ++method) {
        Member m = memberOf(bytesOf("m"));
        m.method = uint8_t(method);
        EXPECT_EQ(readFile(dir.file("cm" + std::to_string(method) + ".gz")), withOurXflAndOs(gzipBytes(m)));
    }
    EXPECT_EQ(listDirectory(dir.path).size(), 256u + 254u + 6u);
}

TEST(GzipConversion, ShortAndTruncatedFilesLeaveNoOutput) {
    TempDir dir;
    const Bytes whole = gzipBytes(memberOf(bytesOf("some data")));
    const Bytes named = {0x1F, 0x8B, 0x08, 0x08, 1, 2, 3, 4, 0, 3};
    const std::string truncated = "Input file is truncated or unreadable.";
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {{0x1F}, "Unknown file format."},
        {{0x1F, 0x8B}, "Unsupported compression method."},  // ends before CM
        {{0x1F, 0x8B, 0x08}, "Unsupported GZIP flags."},    // ends before FLG
        {{0x1F, 0x8B, 0x08, 0x00}, truncated},
        {Bytes(whole.begin(), whole.begin() + 17), truncated},
        {concat({named, Bytes(8, 0)}), truncated},  // FNAME in 18 bytes: no room for the name's zero
        {concat({named, bytesOf("no terminator here")}), truncated},
        {concat({named, bytesOf("abc"), {1, 2, 3, 0, 5, 6, 7, 8}}), truncated},  // its zero is in the trailer
    };
    for (const auto& [content, message] : cases) {
        for (const char* option : {"--gzip", "--gzipname", "--zlib"}) {
            EXPECT_EQ(convert(dir, option, "t.gz", content).err, banner + errorLine("t.gz", message))
                << option << " " << content.size() << " bytes";
            EXPECT_EQ(listDirectory(dir.path), std::vector<std::string>{"t.gz"});
        }
    }
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
    EXPECT_EQ(run.err, banner + successLine("1.gz", "1.gz.gz") + successLine("2.zlib", "2.zlib.gz"));
    const Bytes second = readFile(dir.file("2.zlib.gz"));
    EXPECT_NE(loadLe(second, 4, 4), 1000u);
    EXPECT_EQ(Bytes(second.begin() + 10, second.begin() + 12), (Bytes{'2', 0}));
}
