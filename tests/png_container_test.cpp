// The PNG container through the built program, on PNG files built here byte by byte, with its
// exact messages; and the writer's chunk split, which only a test can set small.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "containers/png_container.h"
#include "stream/byte_io.h"
#include "support/test_support.h"

namespace {

const Bytes signature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
const Bytes iend = pngChunk("IEND", {});
const Bytes ihdr = pngChunk("IHDR", {0, 0, 0, 8, 0, 0, 0, 8, 8, 2, 0, 0, 0});
const std::string truncated = "Input file is truncated or unreadable.";

// A chunk prefix that claims length bytes, for files that end or lie about their size.
Bytes chunkPrefix(uint32_t length, const std::string& type) {
    return concat({be32(length), bytesOf(type)});
}

Bytes slice(const Bytes& bytes, size_t from, size_t to) {
    return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to));
}

// What the writer makes of a header and a zlib stream (78 DA, stream, Adler-32).
Bytes expectedOutput(const Bytes& header, const Bytes& zlibData) {
    return concat({header, pngChunk("IDAT", zlibData), iend});
}

}  // namespace

TEST(PngWriter, SplitsTheZlibStreamOverChunksNoLongerThanTheLimit) {
    TempDir dir;
    const Bytes raw = sampleData(2000, 9);
    const Bytes stream = deflateRaw(raw);
    const Bytes zlibData = concat({{0x78, 0xDA}, stream, be32(adler32Of(raw))});
    // Limits that cut inside the zlib header, the stream and the trailer, exactly at the end, and not at all.
    for (uint64_t limit : {uint64_t{1}, uint64_t{3}, uint64_t{7}, uint64_t{zlibData.size() - 2},
                           uint64_t{zlibData.size() / 2}, uint64_t{zlibData.size()}, uint64_t{zlibData.size() + 1}}) {
        ConversionJob job;
        initConversionJob(job, "in.zlib", "in.zlib.png", FormatCode::Png, nullptr);
        job.pngHeader = signature;
        job.deflateData = stream.data();
        job.deflateLength = stream.size();
        const Bytes adler = be32(adler32Of(raw));
        std::copy(adler.begin(), adler.end(), job.adler32.begin());
        const int fd = open(dir.file("out.png").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ByteWriter writer{fd, nullptr, 0};
        ASSERT_EQ(writePngContainerSplit(job, writer, limit), ResultCode::Success);
        close(fd);
        Bytes expected = signature;
        for (size_t at = 0; at < zlibData.size(); at += limit) {
            expected = concat({expected, pngChunk("IDAT", slice(zlibData, at, std::min<size_t>(at + limit, zlibData.size())))});
        }
        EXPECT_EQ(readFile(dir.file("out.png")), concat({expected, iend})) << "limit " << limit;
    }
}

TEST(PngConvert, CarriesTheAdlerBytesPngToPngWithoutInflating) {
    TempDir dir;
    // Not DEFLATE at all: any attempt to inflate it would end in "Inflate failed."
    const Bytes stream = {0xFF, 0xEE, 0xDD, 0xCC, 0xBB};
    writeFile(dir.file("a.png"), concat({signature, ihdr, pngChunk("IDAT", {0x78, 0x9C, 0xFF, 0xEE}),
                                         pngChunk("IDAT", {0xDD, 0xCC, 0xBB, 0x12, 0x34, 0x56, 0x78}), iend}));
    const Bytes header = concat({signature, ihdr, pngChunk("sRGB", {0})});
    writeFile(dir.file("h.png"), expectedOutput(header, zlibStream(bytesOf("other image"))));
    const RunResult run = runQuorvexa({"--pngh.png", "a.png"}, dir.path);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, banner + successLine("a.png", "a.png.png"));
    const Bytes output = readFile(dir.file("a.png.png"));
    EXPECT_EQ(output, expectedOutput(header, concat({{0x78, 0xDA}, stream, {0x12, 0x34, 0x56, 0x78}})));
    EXPECT_EQ(output.size(), header.size() + stream.size() + 30);
    EXPECT_EQ(loadBe32(&output[header.size()]), stream.size() + 6);
}

// Image data as --zlib takes it out of files of every shape the reader accepts.
TEST(PngConvert, ImageDataGoesToZlibByteForByte) {
    TempDir dir;
    const Bytes zlib = zlibStream(sampleData(1000, 2));
    const Bytes start(zlib.begin(), zlib.begin() + 3), middle = slice(zlib, 3, 200), end = slice(zlib, 200, zlib.size());
    const Bytes small = zlibStream(bytesOf("small"));
    const struct {
        std::string name;
        Bytes file, zlib;
    } cases[] = {
        // Several IDATs, one empty, others between them: joined.
        {"joined", concat({signature, ihdr, pngChunk("IDAT", start), pngChunk("IDAT", {}),
                           pngChunk("tIME", {7, 0xE2, 1, 1, 0, 0, 0}), pngChunk("IDAT", middle), pngChunk("IDAT", end), iend}),
         zlib},
        {"six-bytes", concat({signature, pngChunk("IDAT", {0x78, 0x01, 0, 0, 0, 1}), iend}), {0x78, 0xDA, 0, 0, 0, 1}},
        {"no-iend", concat({signature, ihdr, pngChunk("IDAT", small)}), small},  // the end of the file counts as IEND
        {"behind-iend", concat({signature, pngChunk("IDAT", small), iend, pngChunk("IDAT", {1, 2, 3}), chunkPrefix(99, "IDAT")}),
         small},
    };
    for (const auto& c : cases) {
        writeFile(dir.file(c.name), c.file);
        EXPECT_EQ(runQuorvexa({"--zlib", c.name}, dir.path).err, banner + successLine(c.name, c.name + ".zlib"));
        EXPECT_EQ(readFile(dir.file(c.name + ".zlib")), c.zlib) << c.name;
    }
    // A PNG carries no name: the one --gzipname stores comes from the path.
    runQuorvexa({"--gzipname", "joined"}, dir.path);
    const Bytes gz = readFile(dir.file("joined.gz"));
    EXPECT_EQ(Bytes(gz.begin() + 10, gz.begin() + 17), bytesOf(std::string("joined", 7)));
}

// The header is everything before the first IDAT (or IEND, or the end of the file), copied as
// it is; chunks behind it are never walked.
TEST(PngConvert, HeaderChunksAreCopiedWithoutWarning) {
    TempDir dir;
    const Bytes zlib = zlibStream(bytesOf("the stream carried"));
    writeFile(dir.file("a.zlib"), zlib);
    const Bytes animated = concat({signature, ihdr, pngChunk("acTL", {0, 0, 0, 1, 0, 0, 0, 0}), pngChunk("fcTL", Bytes(26, 0))});
    const Bytes text = concat({signature, ihdr, pngChunk("tEXt", bytesOf("only text"))});
    const std::vector<std::pair<Bytes, Bytes>> cases = {
        {expectedOutput(animated, zlibStream(bytesOf("header image"))), animated},
        {concat({text, iend, pngChunk("IDAT", {1, 2, 3, 4, 5, 6})}), text},
        {text, text},
        {concat({signature, ihdr, chunkPrefix(500, "IDAT"), Bytes(3, 0)}), concat({signature, ihdr})},
    };
    for (const auto& [headerFile, header] : cases) {
        writeFile(dir.file("h.png"), headerFile);
        EXPECT_EQ(runQuorvexa({"--pngh.png", "a.zlib"}, dir.path).err, banner + successLine("a.zlib", "a.zlib.png"));
        EXPECT_EQ(readFile(dir.file("a.zlib.png")), expectedOutput(header, zlib));
        std::remove(dir.file("a.zlib.png").c_str());
    }
}

TEST(PngConvert, MissingAdlerIsComputedAndADamagedStreamLeavesNoFile) {
    TempDir dir;
    const Bytes raw = sampleData(20000, 4);
    const Bytes stream = deflateRaw(raw);
    writeFile(dir.file("h.png"), concat({signature, ihdr, iend}));
    writeFile(dir.file("a.zlib"), concat({{0x78, 0xDA}, stream, {0, 0, 0, 0}}));
    writeFile(dir.file("b.zlib"), {0x78, 0xDA, 0xFF, 0xFF, 0, 0, 0, 0});
    const RunResult run = runQuorvexa({"--pngh.png", "a.zlib", "b.zlib"}, dir.path);
    EXPECT_EQ(run.err, banner + successLine("a.zlib", "a.zlib.png") + errorLine("b.zlib", "Inflate failed."));
    EXPECT_EQ(readFile(dir.file("a.zlib.png")),
              expectedOutput(concat({signature, ihdr}), concat({{0x78, 0xDA}, stream, be32(adler32Of(raw))})));
    EXPECT_FALSE(pathExists(dir.file("b.zlib.png")));
}

TEST(PngConvert, BadHeaderFilesHaveTheirMessagesAndLeaveAnyOutputUntouched) {
    TempDir dir;
    writeFile(dir.file("a.zlib"), zlibStream(bytesOf("stream")));
    Bytes bad = concat({signature, ihdr, iend});
    bad[4] = 0x0A;
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {bad, "Not a valid PNG file: h.png."},
        {{0x89, 0x50}, "Not a valid PNG file: h.png."},
        {concat({signature, ihdr, chunkPrefix(100, "tEXt")}), truncated},
        {concat({signature, chunkPrefix(0x80000000u, "tEXt"), Bytes(8, 0)}), truncated},
        {concat({signature, ihdr, chunkPrefix(0xFFFFFFFFu, "IDAT")}), truncated},  // an IDAT's length is held to the limit too
    };
    for (const auto& [headerFile, message] : cases) {
        writeFile(dir.file("h.png"), headerFile);
        EXPECT_EQ(runQuorvexa({"--pngh.png", "a.zlib"}, dir.path).err, banner + errorLine("a.zlib", message));
    }
    EXPECT_EQ(listDirectory(dir.path), (std::vector<std::string>{"a.zlib", "h.png"}));

    // A missing header is reported before the existing output is found, and that stays untouched.
    writeFile(dir.file("a.zlib.png"), bytesOf("already here"));
    const RunResult run = runQuorvexa({"--pngmissing.png", "a.zlib"}, dir.path);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, banner + errorLine("a.zlib", "PNG file missing.png doesn't exist."));
    EXPECT_EQ(readFile(dir.file("a.zlib.png")), bytesOf("already here"));
}

TEST(PngConvert, ApngWarningComesBeforeTheResultLineAndOnlyIdatDataIsTaken) {
    TempDir dir;
    const Bytes zlib = zlibStream(sampleData(500, 8));
    const Bytes fctl = pngChunk("fcTL", Bytes(26, 0));
    writeFile(dir.file("a.png"), concat({signature, ihdr, pngChunk("acTL", {0, 0, 0, 3, 0, 0, 0, 0}), fctl,
                                         pngChunk("IDAT", zlib), fctl, pngChunk("fdAT", Bytes(30, 9)), fctl,
                                         pngChunk("fdAT", Bytes(30, 9)), iend, fctl}));
    writeFile(dir.file("b.png"), concat({signature, ihdr, pngChunk("acTL", {0, 0, 0, 1, 0, 0, 0, 0}), pngChunk("IDAT", zlib), iend}));
    const std::string warning = " - WARNING: APNG format detected (3 frames). Only first frame supported.\n";
    RunResult run = runQuorvexa({"--zlib", "a.png", "b.png"}, dir.path);
    EXPECT_EQ(run.err, banner + "a.png" + warning + successLine("a.png", "a.png.zlib") +
                           "b.png - WARNING: APNG format detected (0 frames). Only first frame supported.\n" +
                           successLine("b.png", "b.png.zlib"));
    EXPECT_EQ(readFile(dir.file("a.png.zlib")), zlib);

    // The warning is the reader's; a later failure still follows it.
    run = runQuorvexa({"--zlib", "a.png"}, dir.path);
    EXPECT_EQ(run.err, banner + "a.png" + warning + errorLine("a.png", "Output file a.png.zlib already exists."));
}

TEST(PngConvert, BadOrTruncatedInputsLeaveNoOutput) {
    TempDir dir;
    const Bytes zlib = zlibStream(bytesOf("some image data"));
    const Bytes idat = pngChunk("IDAT", zlib);
    Bytes wrong = concat({signature, idat, iend});
    wrong[7] = 0x0B;
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {wrong, "Not a valid PNG file."},
        {{0x89, 0x50, 0x4E}, "Not a valid PNG file."},
        {concat({signature, idat, {0x00, 0x00}}), truncated},                            // chunk length cut short
        {concat({signature, idat, {0x00, 0x00, 0x00, 0x00, 0x49, 0x45}}), truncated},    // chunk type cut short
        {concat({signature, slice(idat, 0, idat.size() - 6)}), truncated},               // data cut short
        {concat({signature, slice(idat, 0, idat.size() - 1)}), truncated},               // CRC cut short
        {concat({signature, idat, chunkPrefix(1000, "tEXt"), Bytes(20, 0)}), truncated},  // skipped chunk runs past the end
        {concat({signature, idat, chunkPrefix(0x80000000u, "tEXt"), Bytes(20, 0)}), truncated},  // length above 2^31-1
        {concat({signature, idat, chunkPrefix(0xFFFFFFFFu, "IEND"), Bytes(4, 0)}), truncated},
        {concat({signature, chunkPrefix(0x7FFFFFFF, "IDAT"), zlib}), truncated},  // claims 2 GiB in a small file
        {concat({signature, ihdr, chunkPrefix(0x90000000u, "IDAT"), Bytes(16, 0)}), truncated},
        {concat({signature, ihdr, iend}), truncated},  // no IDAT at all
        {concat({signature, pngChunk("IDAT", {0x78, 0xDA, 0x03}), pngChunk("IDAT", {0x00, 0x00}), iend}), truncated},
        {signature, truncated},
    };
    std::vector<std::string> arguments = {"--zlib"};
    std::string expected = banner;
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string name = "in" + std::to_string(i) + ".png";
        writeFile(dir.file(name), cases[i].first);
        arguments.push_back(name);
        expected += errorLine(name, cases[i].second);
    }
    EXPECT_EQ(runQuorvexa(arguments, dir.path).err, expected);
    EXPECT_EQ(listDirectory(dir.path).size(), cases.size());
}
