// --verify: every checksum and size an input carries is held against its stream before the
// stream is trusted; the default run carries them unchecked.
#include <gtest/gtest.h>

#include <unistd.h>

#include "support/test_support.h"

namespace {

Bytes gzipFile(const Bytes& stream, uint32_t crc, uint32_t size) {
    return concat({{0x1F, 0x8B, 0x08, 0x00, 0xC0, 0x01, 0x30, 0x59, 0x02, 0x03}, stream, le32(crc), le32(size)});
}

Bytes zipFile(uint16_t method, const Bytes& data, uint32_t crc, uint32_t size) {
    return concat({{0x50, 0x4B, 0x03, 0x04, 0x14, 0x00, 0x00, 0x00, uint8_t(method), 0x00, 0x00, 0x60, 0xC1, 0x4A},
                   le32(crc), le32(static_cast<uint32_t>(data.size())), le32(size), {0x01, 0x00, 0x00, 0x00, 'a'}, data});
}

Bytes pngFile(const Bytes& zlibData) {
    return concat({{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}, pngChunk("IHDR", {0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0}),
                   pngChunk("IDAT", zlibData), pngChunk("IEND", {})});
}

const Bytes data = sampleData(10000, 5);
const Bytes stream = deflateRaw(data);

struct Case {
    std::string name;
    Bytes content;
    std::string verifyMessage;  // "" when --verify accepts it
};

std::vector<Case> cases() {
    const uint32_t crc = crc32Of(data), size = static_cast<uint32_t>(data.size()), adler = adler32Of(data);
    const Bytes pixels = {0x00, 0x80};
    const Bytes pixelStream = deflateRaw(pixels);
    const std::string mismatch = "Checksum mismatch: the stream doesn't match its stored checksum.";
    return {
        {"good.gz", gzipFile(stream, crc, size), ""},
        {"crc.gz", gzipFile(stream, crc ^ 1, size), mismatch},
        {"isize.gz", gzipFile(stream, crc, size + 1), mismatch},
        {"two-members.gz", concat({gzipFile(stream, crc, size), gzipFile(stream, crc, size)}), mismatch},
        {"damaged.gz", gzipFile({0x07, 0x00}, crc, size), "Inflate failed."},
        {"good.zlib", concat({{0x78, 0xDA}, stream, be32(adler)}), ""},
        {"adler.zlib", concat({{0x78, 0xDA}, stream, be32(adler + 1)}), mismatch},
        {"trailing.zlib", concat({{0x78, 0xDA}, stream, bytesOf("junk"), be32(adler)}), mismatch},
        {"good.zip", zipFile(8, stream, crc, size), ""},
        {"crc.zip", zipFile(8, stream, crc + 1, size), mismatch},
        {"size.zip", zipFile(8, stream, crc, size - 1), mismatch},
        {"stored.zip", zipFile(0, data, crc, size), ""},
        {"stored-crc.zip", zipFile(0, data, crc ^ 0x80, size), mismatch},
        {"good.png", pngFile(concat({{0x78, 0xDA}, pixelStream, be32(adler32Of(pixels))})), ""},
        {"adler.png", pngFile(concat({{0x78, 0xDA}, pixelStream, be32(adler32Of(pixels) ^ 4)})), mismatch},
    };
}

}  // namespace

TEST(VerifyOption, MismatchesAreRefusedAndLeaveNoFile) {
    TempDir dir;
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        writeFile(dir.file(c.name), c.content);
        for (const char* format : {"--zip", "--gzip"}) {
            const RunResult run = runQuorvexa({"--verify", format, c.name}, dir.path);
            const std::string output = c.name + (std::string(format) == "--zip" ? ".zip" : ".gz");
            if (c.verifyMessage.empty()) {
                EXPECT_EQ(run.err, banner + successLine(c.name, output));
            } else {
                EXPECT_EQ(run.err, banner + errorLine(c.name, c.verifyMessage));
                EXPECT_FALSE(pathExists(dir.file(output)));
            }
            unlink(dir.file(output).c_str());
        }
    }
}

TEST(VerifyOption, WithoutItCarriedChecksumsPassUnchecked) {
    TempDir dir;
    const uint32_t crc = crc32Of(data), size = static_cast<uint32_t>(data.size());
    writeFile(dir.file("crc.gz"), gzipFile(stream, crc ^ 1, size));
    const RunResult run = runQuorvexa({"--gzip", "crc.gz"}, dir.path);
    EXPECT_EQ(run.err, banner + successLine("crc.gz", "crc.gz.gz"));
    const Bytes output = readFile(dir.file("crc.gz.gz"));
    EXPECT_EQ(Bytes(output.end() - 8, output.end() - 4), le32(crc ^ 1));
}

TEST(VerifyOption, VerifiedOutputsAreWhatTheyWouldBeWithoutIt) {
    TempDir dir;
    const uint32_t crc = crc32Of(data), size = static_cast<uint32_t>(data.size());
    writeFile(dir.file("a.gz"), gzipFile(stream, crc, size));
    writeFile(dir.file("b.gz"), gzipFile(stream, crc, size));
    runQuorvexa({"--zlib", "--verify", "a.gz"}, dir.path);
    runQuorvexa({"--zlib", "b.gz"}, dir.path);
    EXPECT_EQ(readFile(dir.file("a.gz.zlib")), readFile(dir.file("b.gz.zlib")));
}
