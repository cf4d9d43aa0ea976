// ZIP64 for real: entries whose sizes, and an archive whose central directory offset, pass
// 4 GiB. The inputs are built by streaming, so the test itself holds little in memory.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "support/test_support.h"

namespace {

constexpr uint64_t gib = uint64_t{1} << 30;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// A ZLIB file whose stream inflates to `size` zero bytes, deflated piece by piece.
void writeZerosZlib(const std::string& path, uint64_t size) {
    std::unique_ptr<FILE, FileCloser> out(std::fopen(path.c_str(), "wb"));
    ASSERT_TRUE(out);
    z_stream z{};
    ASSERT_EQ(deflateInit(&z, 1), Z_OK);
    const Bytes zeros(64 << 20, 0);
    Bytes buffer(1 << 20);
    uint64_t remaining = size;
    int flush = Z_NO_FLUSH;
    do {
        const uint64_t piece = std::min<uint64_t>(remaining, zeros.size());
        remaining -= piece;
        flush = remaining == 0 ? Z_FINISH : Z_NO_FLUSH;
        z.next_in = const_cast<Bytef*>(zeros.data());
        z.avail_in = static_cast<uInt>(piece);
        do {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            deflate(&z, flush);
            std::fwrite(buffer.data(), 1, buffer.size() - z.avail_out, out.get());
        } while (z.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&z);
}

// python3 prints the first entry's size, compressed size and flags.
std::string entrySummary(const std::string& archive) {
    return runShell(python3() + " -c \"import zipfile; i = zipfile.ZipFile('" + archive +
                    "').infolist()[0]; print(i.file_size, i.compress_size, i.compress_type)\"")
        .out;
}

}  // namespace

TEST(Zip64Large, SizesPast4GiBUseZip64ExtraFields) {
    REQUIRE_TOOL("unzip");
    TempDir dir;
    const uint64_t size = 4 * gib + 12345;
    writeZerosZlib(dir.file("big.zlib"), size);
    ASSERT_EQ(runQuorvexa({"big.zlib"}, dir.path).err, banner + "big.zlib - SUCCESS: Saved as big.zlib.zip.\n");
    const Bytes head = [&] {
        Bytes bytes(30);
        std::unique_ptr<FILE, FileCloser> in(std::fopen(dir.file("big.zlib.zip").c_str(), "rb"));
        EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), in.get()), bytes.size());
        return bytes;
    }();
    EXPECT_EQ(head[4], 45) << "version needed";
    EXPECT_EQ(Bytes(head.begin() + 18, head.begin() + 26), Bytes(8, 0xFF));
    RunResult run = runShell("unzip -t " + dir.file("big.zlib.zip"));
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(entrySummary(dir.file("big.zlib.zip")).substr(0, 11), std::to_string(size) + " ");

    // Read back through the ZIP64 extra field, the entry comes out the same.
    ASSERT_EQ(runQuorvexa({"big.zlib.zip"}, dir.path).err,
              banner + "big.zlib.zip - SUCCESS: Saved as big.zlib.zip.zip.\n");
    EXPECT_EQ(entrySummary(dir.file("big.zlib.zip.zip")), entrySummary(dir.file("big.zlib.zip")));

    // Through GZIP, whose ISIZE keeps only the size modulo 2^32: the size is found again.
    ASSERT_EQ(runQuorvexa({"--gzip", "big.zlib.zip"}, dir.path).err,
              banner + "big.zlib.zip - SUCCESS: Saved as big.zlib.zip.gz.\n");
    ASSERT_EQ(runQuorvexa({"big.zlib.zip.gz"}, dir.path).err,
              banner + "big.zlib.zip.gz - SUCCESS: Saved as big.zlib.zip.gz.zip.\n");
    EXPECT_EQ(entrySummary(dir.file("big.zlib.zip.gz.zip")), entrySummary(dir.file("big.zlib.zip")));
    run = runShell("unzip -t " + dir.file("big.zlib.zip.gz.zip"));
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
}

TEST(Zip64Large, StoredEntryPast4GiBMovesTheCentralDirectoryPast4GiB) {
    REQUIRE_TOOL("unzip");
    TempDir dir;
    const uint64_t size = 4 * gib + 777;
    {
        // A stored entry with a ZIP64 local header, written piece by piece; CRC-32 left for
        // the program to compute (0), as a data-less tool might.
        std::unique_ptr<FILE, FileCloser> out(std::fopen(dir.file("stored.zip").c_str(), "wb"));
        ASSERT_TRUE(out);
        Bytes header = {0x50, 0x4B, 0x03, 0x04, 45, 0, 0, 0, 0, 0, 0, 0x60, 0xC1, 0x4A, 0, 0, 0, 0};
        appendLe(header, 0xFFFFFFFF, 4);
        appendLe(header, 0xFFFFFFFF, 4);
        appendLe(header, 1, 2);
        appendLe(header, 20, 2);
        header.push_back('s');
        appendLe(header, 1, 2);
        appendLe(header, 16, 2);
        appendLe(header, size, 8);
        appendLe(header, size, 8);
        ASSERT_EQ(std::fwrite(header.data(), 1, header.size(), out.get()), header.size());
        const Bytes pattern = sampleData(64 << 20, 31);
        for (uint64_t left = size; left > 0;) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, pattern.size()));
            ASSERT_EQ(std::fwrite(pattern.data(), 1, piece, out.get()), piece);
            left -= piece;
        }
    }
    ASSERT_EQ(runQuorvexa({"stored.zip"}, dir.path).err, banner + "stored.zip - SUCCESS: Saved as stored.zip.zip.\n");
    const RunResult run = runShell("unzip -t " + dir.file("stored.zip.zip"));
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(entrySummary(dir.file("stored.zip.zip")), std::to_string(size) + " " + std::to_string(size) + " 0\n");
}
