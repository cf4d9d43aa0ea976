#include <gtest/gtest.h>

#include "containers/zlib_container.h"
#include "support/test_support.h"

namespace {

RunResult convert(const TempDir& dir, const std::string& name, const Bytes& content) {
    writeFile(dir.file(name), content);
    return runQuorvexa({"--zlib", name}, dir.path);
}

}  // namespace

TEST(ZlibContainer, HeaderBecomes78DaAndTheRestIsCopied) {
    TempDir dir;
    const Bytes data = sampleData(20000);
    const Bytes body = concat({deflateRaw(data), be32(adler32Of(data))});
    for (uint8_t flag : {uint8_t{0x01}, uint8_t{0xDA}}) {
        const std::string name = flag == 0x01 ? "low.zlib" : "high.zlib";
        const RunResult run = convert(dir, name, concat({{0x78, flag}, body}));
        EXPECT_EQ(run.err, banner + successLine(name, name + ".zlib"));
        EXPECT_EQ(readFile(dir.file(name + ".zlib")), concat({{0x78, 0xDA}, body}));
    }
}

TEST(ZlibContainer, SixByteFileIsAnEmptyStream) {
    TempDir dir;
    convert(dir, "carried", {0x78, 0x01, 0x12, 0x34, 0x56, 0x78});
    EXPECT_EQ(readFile(dir.file("carried.zlib")), (Bytes{0x78, 0xDA, 0x12, 0x34, 0x56, 0x78}));
    // A zero trailer over an empty stream is computed: the Adler-32 of no data is 1.
    convert(dir, "computed", {0x78, 0x01, 0, 0, 0, 0});
    EXPECT_EQ(readFile(dir.file("computed.zlib")), (Bytes{0x78, 0xDA, 0, 0, 0, 1}));
}

TEST(ZlibContainer, ZeroTrailerIsReplacedByTheComputedOne) {
    TempDir dir;
    const Bytes data = sampleData(50000, 7);
    const Bytes stream = deflateRaw(data);
    convert(dir, "z.zlib", concat({{0x78, 0xDA}, stream, {0, 0, 0, 0}}));
    EXPECT_EQ(readFile(dir.file("z.zlib.zlib")), concat({{0x78, 0xDA}, stream, be32(adler32Of(data))}));
}

TEST(ZlibContainer, DamagedStreamWithZeroTrailerLeavesNoFile) {
    TempDir dir;
    const RunResult run = convert(dir, "bad.zlib", {0x78, 0xDA, 0x07, 0x00, 0, 0, 0, 0});
    EXPECT_EQ(run.err, banner + errorLine("bad.zlib", "Inflate failed."));
    EXPECT_EQ(listDirectory(dir.path), std::vector<std::string>{"bad.zlib"});
}

TEST(ZlibContainer, ShortFilesAreTruncated) {
    TempDir dir;
    for (const Bytes& content : {Bytes{0x78, 0xDA}, Bytes{0x78, 0xDA, 0x03, 0x00, 0x00}}) {
        const RunResult run = convert(dir, "short.zlib", content);
        EXPECT_EQ(run.err, banner + errorLine("short.zlib", "Input file is truncated or unreadable."));
        EXPECT_FALSE(pathExists(dir.file("short.zlib.zlib")));
    }
}

TEST(ZlibContainer, OnlyTheTwoAcceptedHeadersAreDetected) {
    const uint8_t low[2] = {0x78, 0x01}, high[2] = {0x78, 0xDA}, defaultLevel[2] = {0x78, 0x9C},
                  fast[2] = {0x78, 0x5E}, other[2] = {0x08, 0x1D};
    EXPECT_TRUE(claimsZlibContainer(low, 2));
    EXPECT_TRUE(claimsZlibContainer(high, 2));
    EXPECT_FALSE(claimsZlibContainer(defaultLevel, 2));
    EXPECT_FALSE(claimsZlibContainer(fast, 2));
    EXPECT_FALSE(claimsZlibContainer(other, 2));
    EXPECT_FALSE(claimsZlibContainer(low, 1));
}

TEST(ZlibContainer, OutputsDecompressWithPythonZlib) {
    REQUIRE_TOOL(python3());
    TempDir dir;
    const Bytes data = sampleData(300000, 3);
    writeFile(dir.file("data"), data);
    convert(dir, "in.zlib", concat({{0x78, 0x01}, deflateRaw(data), {0, 0, 0, 0}}));
    const RunResult check = runShell(python3() + " -c \"import sys,zlib; sys.stdout.buffer.write(zlib.decompress(open('" +
                                     dir.file("in.zlib.zlib") + "','rb').read()))\" | cmp - " + dir.file("data"));
    EXPECT_EQ(check.exitCode, 0) << check.err;
}
