// Streams crafted bit by bit (corpus/crafted.tsv), one for every check zlib makes, alone, after a
// valid 64 KiB block and after more than 1 MiB of them, in GZIP, ZLIB and ZIP files carrying the checksum and size of
// the bytes inflated before the fault (what a lax inflater makes of them): every one is refused as damaged.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/test_support.h"
#include "support/zlib_reference.h"

namespace {

Bytes appendBits(Bytes bytes, const std::string& bits) {
    size_t at = bytes.size() * 8;
    for (const char bit : bits) {
        if (bit == ' ') continue;
        if (at % 8 == 0) bytes.push_back(0);
        if (bit == '1') bytes.back() |= static_cast<uint8_t>(1 << (at % 8));
        ++at;
    }
    return bytes;
}

// What the decoder inflated of a stream before it refused it, as zlib does.
Bytes laxlyInflated(const Bytes& stream) {
    bool accepted = true;
    EXPECT_TRUE(walkerAgreesWithZlib(stream.data(), stream.size(), accepted) && !accepted);
    Bytes lax;
    DeflateWalk walk;
    (void)walkDeflate(stream.data(), stream.size(), walk, {}, {[](void* c, const uint8_t* b, size_t n) { static_cast<Bytes*>(c)->insert(static_cast<Bytes*>(c)->end(), b, b + n); }, &lax});
    return lax;
}

Bytes zipFile(const Bytes& stream, uint32_t crc32, uint64_t size) {
    const Bytes fields = concat({le(20, 2), le(0, 2), le(8, 2), le(0, 2), le(0x21, 2), le(crc32, 4), le(stream.size(), 4), le(size, 4), le(1, 2), le(0, 2)});
    const Bytes local = concat({le(0x04034b50, 4), fields, bytesOf("d"), stream});
    const Bytes central = concat({le(0x02014b50, 4), le(20, 2), fields, le(0, 10), le(0, 4), bytesOf("d")});
    return concat({local, central, le(0x06054b50, 4), le(0, 4), le(0x10001, 4), le(central.size(), 4), le(local.size(), 4), le(0, 2)});
}

}  // namespace

TEST(CraftedStreams, EveryCheckZlibMakesRefusesTheStreamInEveryContainer) {
    Bytes prefix;  // stored blocks, not final
    const Bytes data = sampleData(65535);
    for (int i = 0; i < 17; ++i) prefix = concat({prefix, {0}, le(65535, 2), le(0, 2), data});
    TempDir dir;
    const std::vector<Bytes> prefixes = {{}, Bytes(prefix.begin(), prefix.begin() + 65540), prefix};
    std::vector<std::string> inputs;
    std::string expected = banner;
    std::ifstream corpus(QUORVEXA_TEST_CORPUS "/crafted.tsv");
    for (std::string line, name, where, bits; std::getline(corpus, line);) {
        std::istringstream fields(line);
        if (line[0] == '#' || !std::getline(fields, name, '\t') || !std::getline(fields, where, '\t')) continue;
        std::getline(fields, bits);
        for (size_t p = 0; p < prefixes.size(); ++p) {
            if (p > 0 && where != "both") continue;
            const Bytes stream = appendBits(prefixes[p], bits);
            const Bytes lax = laxlyInflated(stream);
            const std::string file = name + std::to_string(p);
            writeFile(dir.file(file + ".gz"), gzipFile(stream, crc32Of(lax), static_cast<uint32_t>(lax.size())));
            writeFile(dir.file(file + ".zlib"), zlibFile(stream, adler32Of(lax)));
            writeFile(dir.file(file + ".zip"), zipFile(stream, crc32Of(lax), lax.size()));
            for (const char* extension : {".gz", ".zlib", ".zip"}) {
                inputs.push_back(file + extension);
                expected += errorLine(inputs.back(), "Inflate failed.");
            }
        }
    }
    ASSERT_EQ(inputs.size(), 156u);
    const RunResult run = runQuorvexa(inputs, dir.path);
    EXPECT_EQ(run.err, expected);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(listDirectory(dir.path).size(), inputs.size());
}
