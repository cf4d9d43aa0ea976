// The ZIP writer where the program can't take it: sizes past 32 bits without 4 GiB of data,
// names ZIP can't hold, a GZIP size that may have wrapped; and the name cleaning.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "containers/zip_container.h"
#include "support/test_support.h"

namespace {

class ZipUnit : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
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
    job.unixTime = 1496318400;
    return job;
}

}  // namespace

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
    Bytes a;
    ASSERT_EQ(write(job, a), ResultCode::Success);
    EXPECT_EQ(loadLe(a, 22, 4), noise.size());
    EXPECT_EQ(loadLe(a, 14, 4), crc32Of(noise));

    // A short stream can't have wrapped: its ISIZE is written as it stands.
    ConversionJob shortJob = streamJob(deflateRaw(bytesOf("abc")), FormatCode::Gzip, "n");
    shortJob.compressionMethod = 8;
    shortJob.crc32 = 1;
    shortJob.uncompressedSize = 7;
    ASSERT_EQ(write(shortJob, a), ResultCode::Success);
    EXPECT_EQ(loadLe(a, 22, 4), 7u);
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
    EXPECT_EQ(loadLe(a, 4, 2), 45u);
    EXPECT_EQ(loadLe(a, 18, 4), 0xFFFFFFFFu);
    EXPECT_EQ(loadLe(a, 22, 4), 0xFFFFFFFFu);
    EXPECT_EQ(loadLe(a, 28, 2), 20u);
    EXPECT_EQ(Bytes(a.begin() + 33, a.begin() + 37), (Bytes{0x01, 0x00, 0x10, 0x00}));
    EXPECT_EQ(loadLe(a, 37, 8), 0x123456789ull);
    EXPECT_EQ(loadLe(a, 45, 8), d);
    const size_t central = 30 + n + 20 + d;
    EXPECT_EQ(loadLe(a, central, 4), 0x02014B50u);
    EXPECT_EQ(loadLe(a, central + 4, 2), 45u);
    EXPECT_EQ(loadLe(a, central + 6, 2), 45u);
    EXPECT_EQ(loadLe(a, central + 20, 4), 0xFFFFFFFFu);
    EXPECT_EQ(loadLe(a, central + 24, 4), 0xFFFFFFFFu);
    EXPECT_EQ(loadLe(a, central + 30, 2), 20u);
    EXPECT_EQ(loadLe(a, central + 46 + n + 4, 8), 0x123456789ull);
    EXPECT_EQ(loadLe(a, central + 46 + n + 12, 8), d);
    const size_t end = a.size() - 22;
    EXPECT_EQ(loadLe(a, end, 4), 0x06054B50u);
    EXPECT_EQ(loadLe(a, end + 12, 4), 46 + n + 20);
    EXPECT_EQ(loadLe(a, end + 16, 4), central);
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
        Bytes a;
        ASSERT_EQ(write(job, a), ResultCode::Success) << c.name;
        EXPECT_EQ(loadLe(a, 6, 2), c.flags) << c.name;
        ASSERT_EQ(loadLe(a, 26, 2), c.written.size()) << c.name;
        EXPECT_EQ(textOf(Bytes(a.begin() + 30, a.begin() + 30 + static_cast<long>(c.written.size()))), c.written);
        const size_t central = a.size() - 22 - 46 - c.written.size();
        EXPECT_EQ(loadLe(a, central + 8, 2), c.flags) << c.name;
    }
}

TEST_F(ZipUnit, WriterRefusesNamesLongerThanZipAllows) {
    ConversionJob fits = streamJob(deflateRaw(bytesOf("x")), FormatCode::Zlib, "/" + std::string(65535, 'n'));
    Bytes a;
    ASSERT_EQ(write(fits, a), ResultCode::Success);
    EXPECT_EQ(loadLe(a, 26, 2), 65535u);

    ConversionJob tooLong = streamJob(deflateRaw(bytesOf("x")), FormatCode::Zlib, std::string(65536, 'n'));
    EXPECT_EQ(write(tooLong, a), ResultCode::NameTooLong);
    EXPECT_TRUE(a.empty());
}
