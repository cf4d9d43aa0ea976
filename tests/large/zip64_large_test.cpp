// Multi-gigabyte conversions: ZIP64 records where sizes and offsets pass 4 GiB, and memory that
// stays flat whatever the input's size. The inputs are written in pieces, so the test holds little.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>

#include "support/test_support.h"

namespace {

constexpr uint64_t gib = uint64_t{1} << 30;

// A ZLIB file whose stream inflates to `size` zero bytes.
void writeZerosZlib(const std::string& path, uint64_t size) {
    std::ofstream out(path, std::ios::binary);
    z_stream z{};
    ASSERT_EQ(deflateInit(&z, 1), Z_OK);
    const Bytes zeros(64 << 20, 0);
    Bytes buffer(1 << 20);
    for (uint64_t left = size; left > 0 || z.avail_out == 0;) {
        const uint64_t piece = std::min<uint64_t>(left, zeros.size());
        left -= piece;
        z.next_in = const_cast<Bytef*>(zeros.data());
        z.avail_in = static_cast<uInt>(piece);
        do {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            deflate(&z, left == 0 ? Z_FINISH : Z_NO_FLUSH);
            out.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(buffer.size() - z.avail_out));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
}

// Converts under /usr/bin/time; the result is the peak resident memory in KiB.
long peakMemoryOfConversion(const std::string& dir, const std::string& arguments) {
    const RunResult run = runShell("cd " + dir + " && /usr/bin/time -f %M -o rss " + QUORVEXA_BINARY + " " + arguments);
    EXPECT_EQ(run.exitCode, 0) << arguments << run.err;
    return std::stol(runShell("cat " + dir + "/rss").out);
}

// python3 prints the first entry's size, compressed size and method.
std::string entrySummary(const std::string& archive) {
    return runShell(python3() + " -c \"import zipfile; i = zipfile.ZipFile('" + archive +
                    "').infolist()[0]; print(i.file_size, i.compress_size, i.compress_type)\"")
        .out;
}

}  // namespace

TEST(Large, SizesPast4GiBUseZip64AndMemoryStaysFlat) {
    REQUIRE_TOOL("unzip");
    TempDir dir;
    const uint64_t size = 4 * gib + 12345;
    writeZerosZlib(dir.file("big.zlib"), size);
    for (const char* arguments : {"big.zlib", "big.zlib.zip", "--gzip big.zlib.zip", "big.zlib.zip.gz"}) {
        EXPECT_LT(peakMemoryOfConversion(dir.path, arguments), 16 * 1024) << arguments;
    }
    EXPECT_EQ(runShell("unzip -tq " + dir.file("big.zlib.zip")).exitCode, 0);
    EXPECT_EQ(entrySummary(dir.file("big.zlib.zip")).substr(0, 11), std::to_string(size) + " ");
    // Read back through the ZIP64 extra field, and through GZIP's ISIZE (the size modulo 2^32).
    EXPECT_EQ(entrySummary(dir.file("big.zlib.zip.zip")), entrySummary(dir.file("big.zlib.zip")));
    EXPECT_EQ(entrySummary(dir.file("big.zlib.zip.gz.zip")), entrySummary(dir.file("big.zlib.zip")));
}

// A stored entry past 4 GiB moves the central directory past 4 GiB; its CRC-32 is left missing (0).
TEST(Large, StoredEntryPast4GiBMovesTheCentralDirectoryPast4GiB) {
    REQUIRE_TOOL("unzip");
    TempDir dir;
    const uint64_t size = 4 * gib + 777;
    {
        std::ofstream out(dir.file("stored.zip"), std::ios::binary);
        const Bytes header = concat({{0x50, 0x4B, 3, 4, 45, 0, 0, 0, 0, 0, 0, 0x60, 0xC1, 0x4A}, le(0, 4), le(0xFFFFFFFF, 4),
                                     le(0xFFFFFFFF, 4), le(1, 2), le(20, 2), bytesOf("s"), le(1, 2), le(16, 2), le(size, 8),
                                     le(size, 8)});
        out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
        const Bytes pattern = sampleData(64 << 20, 31);
        for (uint64_t left = size; left > 0; left -= std::min<uint64_t>(left, pattern.size())) {
            out.write(reinterpret_cast<const char*>(pattern.data()), static_cast<std::streamsize>(std::min<uint64_t>(left, pattern.size())));
        }
        // Its central record, ZIP64 end record and locator, and end record.
        const uint64_t at = header.size() + size;
        const Bytes central = concat({{0x50, 0x4B, 1, 2, 45, 0}, Bytes(header.begin() + 4, header.begin() + 30), le(0, 14),
                                      Bytes(header.begin() + 30, header.end())});
        const Bytes end = concat({central, {0x50, 0x4B, 6, 6}, le(44, 8), le(45, 2), le(45, 2), le(0, 8), le(1, 8), le(1, 8),
                                  le(central.size(), 8), le(at, 8), {0x50, 0x4B, 6, 7}, le(0, 4), le(at + central.size(), 8),
                                  le(1, 4), {0x50, 0x4B, 5, 6}, le(0, 4), le(1, 2), le(1, 2), le(central.size(), 4),
                                  le(0xFFFFFFFF, 4), le(0, 2)});
        out.write(reinterpret_cast<const char*>(end.data()), static_cast<std::streamsize>(end.size()));
    }
    EXPECT_LT(peakMemoryOfConversion(dir.path, "stored.zip"), 16 * 1024);
    EXPECT_LT(peakMemoryOfConversion(dir.path, "--gzip stored.zip"), 16 * 1024);  // framed as stored blocks
    EXPECT_EQ(runShell("unzip -tq " + dir.file("stored.zip.zip")).exitCode, 0);
    EXPECT_EQ(entrySummary(dir.file("stored.zip.zip")), std::to_string(size) + " " + std::to_string(size) + " 0\n");
    EXPECT_EQ(runShell("gzip -t " + dir.file("stored.zip.gz")).exitCode, 0);
}
