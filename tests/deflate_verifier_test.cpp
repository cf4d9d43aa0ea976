#include <gtest/gtest.h>

#include "stream/deflate_verifier.h"
#include "support/test_support.h"

namespace {

struct Measured {
    ResultCode result;
    uint32_t crc = 0xFFFFFFFF;
    uint8_t adler[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint64_t size = 0xFFFF;
};

Measured measure(const Bytes& stream) {
    Measured m;
    m.result = DeflateVerifier(&m.crc, m.adler, &m.size, stream.size(), stream.data());
    return m;
}

void expectMatches(const Measured& m, const Bytes& data) {
    ASSERT_EQ(m.result, ResultCode::Success);
    EXPECT_EQ(m.crc, crc32Of(data));
    EXPECT_EQ(m.size, data.size());
    const uint32_t adler = adler32Of(data);
    const uint8_t expected[4] = {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)};
    EXPECT_EQ(Bytes(m.adler, m.adler + 4), Bytes(expected, expected + 4));
}

}  // namespace

TEST(DeflateVerifier, AbcGivesAdlerInStreamOrder) {
    const Measured m = measure(deflateRaw(bytesOf("abc")));
    ASSERT_EQ(m.result, ResultCode::Success);
    EXPECT_EQ(Bytes(m.adler, m.adler + 4), (Bytes{0x02, 0x4D, 0x01, 0x27}));
    EXPECT_EQ(m.crc, 0x352441C2u);
    EXPECT_EQ(m.size, 3u);
}

TEST(DeflateVerifier, LengthsAtWindowMultiplesAndBeyond) {
    for (size_t size : {16383u, 16384u, 16385u, 32768u, 1000000u}) {
        SCOPED_TRACE(size);
        const Bytes data = sampleData(size, static_cast<uint32_t>(size));
        expectMatches(measure(deflateRaw(data)), data);
        expectMatches(measure(deflateRaw(data, 0)), data);  // stored blocks
    }
}

TEST(DeflateVerifier, BytesAfterTheFinalBlockChangeNothing) {
    const Bytes data = sampleData(5000);
    const Bytes stream = deflateRaw(data);
    const Bytes padded = concat({stream, bytesOf("trailing garbage")});
    expectMatches(measure(padded), data);
    InflateSummary summary;
    ASSERT_EQ(inflateStream(padded.data(), padded.size(), false, false, summary), ResultCode::Success);
    EXPECT_EQ(summary.consumed, stream.size());
}

TEST(DeflateVerifier, EmptyStreamHasEmptyDataValues) {
    const Measured m = measure(Bytes{});
    ASSERT_EQ(m.result, ResultCode::Success);
    EXPECT_EQ(m.crc, 0u);
    EXPECT_EQ(m.size, 0u);
    EXPECT_EQ(Bytes(m.adler, m.adler + 4), (Bytes{0, 0, 0, 1}));
}

TEST(DeflateVerifier, DamagedStreamsFail) {
    EXPECT_EQ(measure(Bytes{0x07, 0x00}).result, ResultCode::InflateFailed);  // final block of reserved type 3
    const Bytes stream = deflateRaw(sampleData(100000));
    const Bytes cut(stream.begin(), stream.begin() + static_cast<long>(stream.size() / 2));
    EXPECT_EQ(measure(cut).result, ResultCode::InflateFailed);
    const Bytes lastByteMissing(stream.begin(), stream.end() - 1);
    EXPECT_EQ(measure(lastByteMissing).result, ResultCode::InflateFailed);
    EXPECT_EQ(measure(Bytes{0x00}).result, ResultCode::InflateFailed);  // a stored block header cut short
}

TEST(DeflateVerifier, NoOutputsOnlyTestsTheStream) {
    const Bytes good = deflateRaw(sampleData(40000));
    EXPECT_EQ(DeflateVerifier(nullptr, nullptr, nullptr, good.size(), good.data()), ResultCode::Success);
    const Bytes bad = {0x07, 0x00};
    EXPECT_EQ(DeflateVerifier(nullptr, nullptr, nullptr, bad.size(), bad.data()), ResultCode::InflateFailed);
}
