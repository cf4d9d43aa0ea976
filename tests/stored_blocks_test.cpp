#include <gtest/gtest.h>
#include <zlib.h>

#include "stream/stored_blocks.h"
#include "support/test_support.h"

namespace {

// Inflates a raw DEFLATE stream completely; an incomplete or damaged stream fails the test.
Bytes inflateAll(const Bytes& stream, size_t expectedSize) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    Bytes out(expectedSize + 1);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(z.avail_in, 0u) << "bytes left after the final block";
    out.resize(z.total_out);
    inflateEnd(&z);
    return out;
}

ConversionJob storedZipJob(const Bytes& data, FormatCode output) {
    ConversionJob job;
    job.inputFormat = FormatCode::Zip;
    job.outputFormat = output;
    job.compressionMethod = 0;
    job.deflateBuffer = data;
    job.deflateLength = data.size();
    job.deflateData = job.deflateBuffer.data();
    return job;
}

}  // namespace

TEST(StoredBlocks, EmptyDataIsOneEmptyFinalBlock) {
    EXPECT_EQ(frameAsStoredBlocks(nullptr, 0), (Bytes{0x01, 0x00, 0x00, 0xFF, 0xFF}));
}

TEST(StoredBlocks, ShortDataIsOneFinalBlock) {
    const Bytes data = bytesOf("hello");
    EXPECT_EQ(frameAsStoredBlocks(data.data(), data.size()), concat({{0x01, 0x05, 0x00, 0xFA, 0xFF}, data}));
}

TEST(StoredBlocks, BlocksHoldAtMost65535BytesAndOnlyTheLastIsFinal) {
    const Bytes exact = sampleData(65535, 3);
    const Bytes oneBlock = frameAsStoredBlocks(exact.data(), exact.size());
    ASSERT_EQ(oneBlock.size(), 65535u + 5);
    EXPECT_EQ(Bytes(oneBlock.begin(), oneBlock.begin() + 5), (Bytes{0x01, 0xFF, 0xFF, 0x00, 0x00}));

    const Bytes longer = sampleData(65536 * 2 + 10, 4);
    const Bytes framed = frameAsStoredBlocks(longer.data(), longer.size());
    ASSERT_EQ(framed.size(), longer.size() + 3 * 5);
    EXPECT_EQ(Bytes(framed.begin(), framed.begin() + 5), (Bytes{0x00, 0xFF, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(Bytes(framed.begin() + 65540, framed.begin() + 65545), (Bytes{0x00, 0xFF, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(Bytes(framed.begin() + 131080, framed.begin() + 131085), (Bytes{0x01, 0x0C, 0x00, 0xF3, 0xFF}));
    EXPECT_EQ(inflateAll(framed, longer.size()), longer);
}

TEST(StoredBlocks, StoredZipEntryBecomesDeflateForOtherOutputs) {
    const Bytes data = sampleData(70000, 6);
    for (FormatCode output : {FormatCode::Gzip, FormatCode::GzipWithName, FormatCode::Zlib, FormatCode::Png}) {
        ConversionJob job = storedZipJob(data, output);
        ASSERT_EQ(frameStoredEntryForDeflateOutput(job), ResultCode::Success);
        EXPECT_EQ(job.compressionMethod, 8);
        EXPECT_EQ(job.crc32, crc32Of(data));
        EXPECT_EQ(job.uncompressedSize, data.size());
        EXPECT_EQ(job.deflateLength, data.size() + 2 * 5);
        EXPECT_EQ(job.deflateData, job.deflateBuffer.data());
        EXPECT_EQ(inflateAll(Bytes(job.deflateData, job.deflateData + job.deflateLength), data.size()), data);
    }
}

TEST(StoredBlocks, CarriedChecksumsAreKept) {
    ConversionJob job = storedZipJob(bytesOf("abc"), FormatCode::Gzip);
    job.crc32 = 0x12345678;
    job.uncompressedSize = 3;
    ASSERT_EQ(frameStoredEntryForDeflateOutput(job), ResultCode::Success);
    EXPECT_EQ(job.crc32, 0x12345678u);
    EXPECT_EQ(job.deflateLength, 8u);
}

TEST(StoredBlocks, EmptyStoredEntryGetsTheEmptyStream) {
    ConversionJob job = storedZipJob({}, FormatCode::Zlib);
    ASSERT_EQ(frameStoredEntryForDeflateOutput(job), ResultCode::Success);
    EXPECT_EQ(Bytes(job.deflateData, job.deflateData + job.deflateLength), (Bytes{0x01, 0x00, 0x00, 0xFF, 0xFF}));
    EXPECT_EQ(job.crc32, 0u);
    EXPECT_EQ(job.uncompressedSize, 0u);
}

TEST(StoredBlocks, LeavesEverythingElseAlone) {
    const Bytes data = bytesOf("not deflate");
    ConversionJob toZip = storedZipJob(data, FormatCode::Zip);
    ConversionJob deflated = storedZipJob(data, FormatCode::Gzip);
    deflated.compressionMethod = 8;
    ConversionJob fromGzip = storedZipJob(data, FormatCode::Zlib);
    fromGzip.inputFormat = FormatCode::Gzip;
    for (ConversionJob* job : {&toZip, &deflated, &fromGzip}) {
        const int16_t method = job->compressionMethod;
        ASSERT_EQ(frameStoredEntryForDeflateOutput(*job), ResultCode::Success);
        EXPECT_EQ(Bytes(job->deflateData, job->deflateData + job->deflateLength), data);
        EXPECT_EQ(job->compressionMethod, method);
        EXPECT_EQ(job->crc32, 0u);
    }
}
