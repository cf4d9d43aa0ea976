// Multi-gigabyte conversions: ZIP64 records where sizes and offsets pass 4 GiB, and memory that
// stays flat whatever the input's size. The inputs are written in pieces, so the test holds little.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

constexpr uint64_t gib = uint64_t{1} << 30;

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
    ASSERT_EQ(runShell("head -c " + std::to_string(size) + " /dev/zero | gzip -1 >" + dir.file("big.gz")).exitCode, 0);
    for (const char* arguments : {"big.gz", "big.gz.zip", "--gzip big.gz.zip", "big.gz.zip.gz"}) {
        EXPECT_LT(peakMemoryOfConversion(dir.path, arguments), 16 * 1024) << arguments;
    }
    EXPECT_EQ(runShell("unzip -tq " + dir.file("big.gz.zip")).exitCode, 0);
    EXPECT_EQ(entrySummary(dir.file("big.gz.zip")).substr(0, 11), std::to_string(size) + " ");
    // Read back through the ZIP64 extra field, and through GZIP's ISIZE (the size modulo 2^32).
    EXPECT_EQ(entrySummary(dir.file("big.gz.zip.zip")), entrySummary(dir.file("big.gz.zip")));
    EXPECT_EQ(entrySummary(dir.file("big.gz.zip.gz.zip")), entrySummary(dir.file("big.gz.zip")));
}

// A stored entry past 4 GiB, as python's zipfile writes it, moves the central directory past 4 GiB.
TEST(Large, StoredEntryPast4GiBMovesTheCentralDirectoryPast4GiB) {
    REQUIRE_TOOL("unzip");
    TempDir dir;
    const uint64_t size = 4 * gib + 777;
    ASSERT_EQ(runShell("cd " + dir.path + " && " + python3() + " -c \"import zipfile; z = zipfile.ZipFile('stored.zip', 'w'); f = z.open('s',"
                       " 'w', force_zip64=True); b = bytes(range(256)) * 4096; [f.write(b) for _ in range(4096)]; f.write(b[:777]); f.close();"
                       " z.close()\"").exitCode, 0);
    EXPECT_LT(peakMemoryOfConversion(dir.path, "stored.zip"), 16 * 1024);
    EXPECT_LT(peakMemoryOfConversion(dir.path, "--gzip stored.zip"), 16 * 1024);  // framed as stored blocks
    EXPECT_EQ(runShell("unzip -tq " + dir.file("stored.zip.zip")).exitCode, 0);
    EXPECT_EQ(entrySummary(dir.file("stored.zip.zip")), std::to_string(size) + " " + std::to_string(size) + " 0\n");
    EXPECT_EQ(runShell("gzip -t " + dir.file("stored.zip.gz")).exitCode, 0);
}
