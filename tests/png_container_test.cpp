// The PNG reader (image data and header modes) and writer, on PNG files built here byte by
// byte, and the same through the built program with its exact messages.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "containers/png_container.h"
#include "stream/byte_io.h"
#include "support/test_support.h"

namespace {

const Bytes signature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
const Bytes iend = {0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

Bytes be32(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}

Bytes chunk(const std::string& type, const Bytes& data) {
    const Bytes typed = concat({bytesOf(type), data});
    return concat({be32(static_cast<uint32_t>(data.size())), typed, be32(crc32Of(typed))});
}

// A chunk prefix that claims length bytes, for files that end or lie about their size.
Bytes chunkPrefix(uint32_t length, const std::string& type) {
    return concat({be32(length), bytesOf(type)});
}

Bytes ihdr() {
    return chunk("IHDR", {0, 0, 0, 8, 0, 0, 0, 8, 8, 2, 0, 0, 0});
}

// Splits bytes at the given offsets, for spreading a zlib stream over IDAT chunks.
std::vector<Bytes> splitAt(const Bytes& bytes, std::vector<size_t> cuts) {
    std::vector<Bytes> parts;
    size_t start = 0;
    cuts.push_back(bytes.size());
    for (size_t cut : cuts) {
        parts.emplace_back(bytes.begin() + static_cast<long>(start), bytes.begin() + static_cast<long>(cut));
        start = cut;
    }
    return parts;
}

Bytes slice(const Bytes& bytes, size_t from, size_t to) {
    return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to));
}

struct ReadOutcome {
    ResultCode result = ResultCode::Unknown;
    Bytes stream;
    std::array<uint8_t, 4> adler{};
    bool hasStoredName = true;
};

ReadOutcome readImageData(const Bytes& file) {
    TempDir dir;
    const std::string path = dir.file("in.png");
    writeFile(path, file);
    ConversionJob job;
    initConversionJob(job, "in.png", "in.png.zlib", FormatCode::Zlib, nullptr);
    job.hasStoredName = true;
    InputFile input;
    ReadOutcome outcome;
    outcome.result = openInputFile(path.c_str(), input);
    if (outcome.result == ResultCode::Success) outcome.result = readPngContainer(job, input);
    if (outcome.result == ResultCode::Success) {
        outcome.stream.assign(job.deflateData, job.deflateData + job.deflateLength);
    }
    outcome.adler = job.adler32;
    outcome.hasStoredName = job.hasStoredName;
    return outcome;
}

ResultCode readHeader(const Bytes& file, Bytes& header) {
    TempDir dir;
    const std::string path = dir.file("header.png");
    writeFile(path, file);
    ConversionJob job;
    initConversionJob(job, "in.zlib", "in.zlib.png", FormatCode::Png, path.c_str());
    const ResultCode result = readPngHeader(job);
    header = job.pngHeader;
    return result;
}

struct WriteOutcome {
    ResultCode result = ResultCode::Unknown;
    Bytes file;
    std::array<uint8_t, 4> adler{};
};

WriteOutcome writePng(const Bytes& header, const Bytes& stream, std::array<uint8_t, 4> adler,
                      uint64_t maxChunkLength = pngMaxChunkLength) {
    TempDir dir;
    const std::string path = dir.file("out.png");
    ConversionJob job;
    initConversionJob(job, "in.zlib", "in.zlib.png", FormatCode::Png, nullptr);
    job.pngHeader = header;
    job.deflateBuffer = stream;
    job.deflateData = job.deflateBuffer.data();
    job.deflateLength = stream.size();
    job.adler32 = adler;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ByteWriter writer{fd, nullptr, 0};
    WriteOutcome outcome;
    outcome.result = writePngContainerSplit(job, writer, maxChunkLength);
    close(fd);
    outcome.file = readFile(path);
    outcome.adler = job.adler32;
    return outcome;
}

std::array<uint8_t, 4> adlerBytes(uint32_t value) {
    const Bytes bytes = be32(value);
    return {bytes[0], bytes[1], bytes[2], bytes[3]};
}

struct Chunk {
    std::string type;
    Bytes data;
    uint32_t storedCrc = 0;
};

// Parses the chunks behind headerLength bytes; fails the test on a malformed layout.
std::vector<Chunk> parseChunks(const Bytes& file, size_t headerLength) {
    std::vector<Chunk> chunks;
    size_t offset = headerLength;
    while (offset + 12 <= file.size()) {
        const uint32_t length = loadBe32(&file[offset]);
        if (offset + 12 + length > file.size()) break;
        Chunk parsed;
        parsed.type = textOf(slice(file, offset + 4, offset + 8));
        parsed.data = slice(file, offset + 8, offset + 8 + length);
        parsed.storedCrc = loadBe32(&file[offset + 8 + length]);
        chunks.push_back(parsed);
        offset += 12 + length;
    }
    EXPECT_EQ(offset, file.size()) << "chunks don't fill the file";
    return chunks;
}

// ---- input mode ----

TEST(PngReader, DropsAnyZlibHeaderUnlookedAtAndCarriesTheLastFourBytes) {
    const Bytes stream = {0xAA, 0xBB, 0xCC};  // not DEFLATE: nothing here inflates it
    const Bytes idatData = concat({{0x08, 0x1D}, stream, {0x12, 0x34, 0x56, 0x78}});
    const Bytes file = concat({signature, ihdr(), chunk("IDAT", idatData), iend});
    const ReadOutcome outcome = readImageData(file);
    ASSERT_EQ(outcome.result, ResultCode::Success);
    EXPECT_EQ(outcome.stream, stream);
    EXPECT_EQ(outcome.adler, (std::array<uint8_t, 4>{0x12, 0x34, 0x56, 0x78}));
    EXPECT_FALSE(outcome.hasStoredName);
}

TEST(PngReader, SixIdatBytesGiveAnEmptyStream) {
    const ReadOutcome outcome = readImageData(concat({signature, chunk("IDAT", {0x78, 0x01, 0, 0, 0, 1}), iend}));
    ASSERT_EQ(outcome.result, ResultCode::Success);
    EXPECT_TRUE(outcome.stream.empty());
    EXPECT_EQ(outcome.adler, (std::array<uint8_t, 4>{0, 0, 0, 1}));
}

TEST(PngReader, EndOfFileOnAChunkBoundaryCountsAsIend) {
    const Bytes zlib = zlibStream(bytesOf("no IEND follows"));
    const ReadOutcome outcome = readImageData(concat({signature, ihdr(), chunk("IDAT", zlib)}));
    ASSERT_EQ(outcome.result, ResultCode::Success);
    EXPECT_EQ(outcome.stream, slice(zlib, 2, zlib.size() - 4));
}

TEST(PngReader, ChunksBehindIendAreNotRead) {
    const Bytes zlib = zlibStream(bytesOf("before IEND"));
    const Bytes file =
        concat({signature, chunk("IDAT", zlib), iend, chunk("IDAT", {1, 2, 3}), chunkPrefix(99, "IDAT")});
    const ReadOutcome outcome = readImageData(file);
    ASSERT_EQ(outcome.result, ResultCode::Success);
    EXPECT_EQ(outcome.stream, slice(zlib, 2, zlib.size() - 4));
}

TEST(PngReader, WrongOrShortSignatureIsNotAPng) {
    Bytes wrong = concat({signature, chunk("IDAT", zlibStream(bytesOf("x"))), iend});
    wrong[7] = 0x0B;
    EXPECT_EQ(readImageData(wrong).result, ResultCode::InputPngInvalid);
    EXPECT_EQ(readImageData({0x89, 0x50, 0x4E}).result, ResultCode::InputPngInvalid);
}

TEST(PngReader, CutShortOrOverlongChunksAndTooLittleImageDataAreTruncated) {
    const Bytes zlib = zlibStream(bytesOf("some image data"));
    const Bytes idat = chunk("IDAT", zlib);
    const struct {
        const char* what;
        Bytes file;
    } cases[] = {
        {"chunk length cut short", concat({signature, idat, {0x00, 0x00}})},
        {"chunk type cut short", concat({signature, idat, {0x00, 0x00, 0x00, 0x00, 0x49, 0x45}})},
        {"data cut short", concat({signature, slice(idat, 0, idat.size() - 6)})},
        {"CRC cut short", concat({signature, slice(idat, 0, idat.size() - 1)})},
        {"skipped chunk runs past the end", concat({signature, idat, chunkPrefix(1000, "tEXt"), Bytes(20, 0)})},
        {"length above 2^31-1", concat({signature, idat, chunkPrefix(0x80000000u, "tEXt"), Bytes(20, 0)})},
        {"length above 2^31-1 on IEND", concat({signature, idat, chunkPrefix(0xFFFFFFFFu, "IEND"), Bytes(4, 0)})},
        {"claims 2 GiB in a small file", concat({signature, chunkPrefix(0x7FFFFFFF, "IDAT"), zlib})},
        {"no IDAT at all", concat({signature, ihdr(), iend})},
        {"five IDAT bytes", concat({signature, chunk("IDAT", {0x78, 0xDA, 0x03}), chunk("IDAT", {0x00, 0x00}), iend})},
        {"signature only", signature},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(readImageData(c.file).result, ResultCode::InputTruncated) << c.what;
    }
}

// ---- header mode ----

TEST(PngHeader, WithoutIdatEndsAtIendOrAtTheEndOfTheFile) {
    const Bytes front = concat({signature, ihdr(), chunk("tEXt", bytesOf("only text"))});
    Bytes header;
    ASSERT_EQ(readHeader(concat({front, iend, chunk("IDAT", {1, 2, 3, 4, 5, 6})}), header), ResultCode::Success);
    EXPECT_EQ(header, front);
    ASSERT_EQ(readHeader(front, header), ResultCode::Success);
    EXPECT_EQ(header, front);
}

TEST(PngHeader, ChunksBehindTheFirstIdatAreNeverWalked) {
    // A damaged tail doesn't matter: the header ends before it, and the IDAT data isn't read.
    const Bytes front = concat({signature, ihdr()});
    Bytes header;
    ASSERT_EQ(readHeader(concat({front, chunkPrefix(500, "IDAT"), Bytes(3, 0)}), header), ResultCode::Success);
    EXPECT_EQ(header, front);
    // Its length is still held to PNG's limit, as for every chunk the walk meets.
    EXPECT_EQ(readHeader(concat({front, chunkPrefix(0xFFFFFFFFu, "IDAT")}), header), ResultCode::InputTruncated);
}

TEST(PngHeader, FailuresHaveTheHeaderCodes) {
    Bytes header;
    Bytes wrong = concat({signature, ihdr(), iend});
    wrong[2] = 0x4F;
    EXPECT_EQ(readHeader(wrong, header), ResultCode::HeaderPngInvalid);
    EXPECT_EQ(readHeader({0x89, 0x50}, header), ResultCode::HeaderPngInvalid);
    EXPECT_EQ(readHeader(concat({signature, ihdr(), chunkPrefix(100, "tEXt")}), header), ResultCode::InputTruncated);
    EXPECT_EQ(readHeader(concat({signature, chunkPrefix(0x80000000u, "tEXt"), Bytes(8, 0)}), header),
              ResultCode::InputTruncated);

    ConversionJob job;
    initConversionJob(job, "in.zlib", "in.zlib.png", FormatCode::Png, "/nonexistent/header.png");
    EXPECT_EQ(readPngHeader(job), ResultCode::HeaderPngMissing);
}

// ---- writer ----

TEST(PngWriter, SplitsTheZlibStreamOverChunksNoLongerThanTheLimit) {
    const Bytes raw = sampleData(2000, 9);
    const Bytes stream = deflateRaw(raw);
    const Bytes zlibData = concat({{0x78, 0xDA}, stream, be32(adler32Of(raw))});
    // Limits that cut inside the zlib header, inside the stream, inside the trailer, exactly at
    // the end, and not at all.
    for (uint64_t limit : {uint64_t{1}, uint64_t{3}, uint64_t{7}, uint64_t{zlibData.size() - 2},
                           uint64_t{zlibData.size() / 2}, uint64_t{zlibData.size()}, uint64_t{zlibData.size() + 1}}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        const WriteOutcome outcome = writePng(signature, stream, adlerBytes(adler32Of(raw)), limit);
        ASSERT_EQ(outcome.result, ResultCode::Success);
        const std::vector<Chunk> chunks = parseChunks(outcome.file, signature.size());
        ASSERT_GE(chunks.size(), 2u);
        EXPECT_EQ(chunks.size(), (zlibData.size() + limit - 1) / limit + 1);
        Bytes joined;
        for (size_t i = 0; i + 1 < chunks.size(); ++i) {
            EXPECT_EQ(chunks[i].type, "IDAT");
            EXPECT_GE(chunks[i].data.size(), 1u);
            EXPECT_LE(chunks[i].data.size(), limit);
            EXPECT_EQ(chunks[i].storedCrc, crc32Of(concat({bytesOf("IDAT"), chunks[i].data})));
            joined.insert(joined.end(), chunks[i].data.begin(), chunks[i].data.end());
        }
        EXPECT_EQ(chunks.back().type, "IEND");
        EXPECT_EQ(joined, zlibData);

        const ReadOutcome back = readImageData(outcome.file);
        ASSERT_EQ(back.result, ResultCode::Success);
        EXPECT_EQ(back.stream, stream);
    }
}

// ---- through the program ----

const std::string apngWarning3 = "a.png - WARNING: APNG format detected (3 frames). Only first frame supported.\n";

Bytes pngWith(const Bytes& front, const Bytes& zlib) {
    return concat({front, chunk("IDAT", zlib), iend});
}

// What the writer makes of a header and a zlib stream (78 DA, stream, Adler-32).
Bytes expectedOutput(const Bytes& header, const Bytes& zlibData) {
    return concat({header, be32(static_cast<uint32_t>(zlibData.size())), bytesOf("IDAT"), zlibData,
                   be32(crc32Of(concat({bytesOf("IDAT"), zlibData}))), iend});
}

TEST(PngConvert, CarriesTheAdlerBytesPngToPngWithoutInflating) {
    TempDir dir;
    // Not DEFLATE at all: any attempt to inflate it would end in "Inflate failed."
    const Bytes stream = {0xFF, 0xEE, 0xDD, 0xCC, 0xBB};
    const Bytes input = concat({signature, ihdr(), chunk("IDAT", {0x78, 0x9C, 0xFF, 0xEE}),
                                chunk("IDAT", {0xDD, 0xCC, 0xBB, 0x12, 0x34, 0x56, 0x78}), iend});
    const Bytes header = concat({signature, ihdr(), chunk("sRGB", {0})});
    writeFile(dir.file("a.png"), input);
    writeFile(dir.file("h.png"), pngWith(header, zlibStream(bytesOf("other image"))));

    const RunResult run = runQuorvexa({"--pngh.png", "a.png"}, dir.path);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, banner + "a.png - SUCCESS: Saved as a.png.png.\n");
    const Bytes output = readFile(dir.file("a.png.png"));
    EXPECT_EQ(output, expectedOutput(header, concat({{0x78, 0xDA}, stream, {0x12, 0x34, 0x56, 0x78}})));
    EXPECT_EQ(output.size(), header.size() + stream.size() + 30);
    EXPECT_EQ(loadBe32(&output[header.size()]), stream.size() + 6);
}

TEST(PngConvert, JoinedImageDataGoesToZlibByteForByte) {
    TempDir dir;
    const Bytes zlib = zlibStream(sampleData(1000, 2));
    const std::vector<Bytes> parts = splitAt(zlib, {3, 200});
    writeFile(dir.file("a.png"), concat({signature, ihdr(), chunk("IDAT", parts[0]), chunk("IDAT", {}),
                                         chunk("tIME", {7, 0xE2, 1, 1, 0, 0, 0}), chunk("IDAT", parts[1]),
                                         chunk("IDAT", parts[2]), iend}));
    const RunResult run = runQuorvexa({"--zlib", "a.png"}, dir.path);
    EXPECT_EQ(run.err, banner + "a.png - SUCCESS: Saved as a.png.zlib.\n");
    EXPECT_EQ(readFile(dir.file("a.png.zlib")), zlib);
}

TEST(PngConvert, HeaderAnimationChunksAreCopiedWithoutWarning) {
    TempDir dir;
    const Bytes front =
        concat({signature, ihdr(), chunk("acTL", {0, 0, 0, 1, 0, 0, 0, 0}), chunk("fcTL", Bytes(26, 0))});
    writeFile(dir.file("h.png"), pngWith(front, zlibStream(bytesOf("header image"))));
    const Bytes zlib = zlibStream(bytesOf("the stream carried"));
    writeFile(dir.file("a.zlib"), zlib);
    const RunResult run = runQuorvexa({"--pngh.png", "a.zlib"}, dir.path);
    EXPECT_EQ(run.err, banner + "a.zlib - SUCCESS: Saved as a.zlib.png.\n");
    EXPECT_EQ(readFile(dir.file("a.zlib.png")), expectedOutput(front, zlib));
}

TEST(PngConvert, HeaderWithoutIdatGivesEverythingBeforeIend) {
    TempDir dir;
    const Bytes front = concat({signature, ihdr(), chunk("tEXt", bytesOf("x"))});
    writeFile(dir.file("h.png"), concat({front, iend}));
    const Bytes zlib = zlibStream(bytesOf("data"));
    writeFile(dir.file("a.zlib"), zlib);
    const RunResult run = runQuorvexa({"--pngh.png", "a.zlib"}, dir.path);
    EXPECT_EQ(run.err, banner + "a.zlib - SUCCESS: Saved as a.zlib.png.\n");
    const Bytes output = readFile(dir.file("a.zlib.png"));
    EXPECT_EQ(output, expectedOutput(front, zlib));
}

TEST(PngConvert, MissingAdlerIsComputedAndADamagedStreamLeavesNoFile) {
    TempDir dir;
    const Bytes raw = sampleData(20000, 4);
    const Bytes stream = deflateRaw(raw);
    writeFile(dir.file("h.png"), concat({signature, ihdr(), iend}));
    writeFile(dir.file("a.zlib"), concat({{0x78, 0xDA}, stream, {0, 0, 0, 0}}));
    writeFile(dir.file("b.zlib"), {0x78, 0xDA, 0xFF, 0xFF, 0, 0, 0, 0});
    const RunResult run = runQuorvexa({"--pngh.png", "a.zlib", "b.zlib"}, dir.path);
    EXPECT_EQ(run.err, banner + "a.zlib - SUCCESS: Saved as a.zlib.png.\n" + "b.zlib - ERROR: Inflate failed.\n");
    EXPECT_EQ(readFile(dir.file("a.zlib.png")),
              expectedOutput(concat({signature, ihdr()}), concat({{0x78, 0xDA}, stream, be32(adler32Of(raw))})));
    EXPECT_FALSE(pathExists(dir.file("b.zlib.png")));
}

TEST(PngConvert, BadSignaturesHaveTheirMessages) {
    TempDir dir;
    Bytes bad = pngWith(concat({signature, ihdr()}), zlibStream(bytesOf("x")));
    bad[4] = 0x0A;
    writeFile(dir.file("bad.png"), bad);
    writeFile(dir.file("a.zlib"), zlibStream(bytesOf("stream")));
    RunResult run = runQuorvexa({"--zlib", "bad.png"}, dir.path);
    EXPECT_EQ(run.err, banner + "bad.png - ERROR: Not a valid PNG file.\n");
    run = runQuorvexa({"--pngbad.png", "a.zlib"}, dir.path);
    EXPECT_EQ(run.err, banner + "a.zlib - ERROR: Not a valid PNG file: bad.png.\n");
    EXPECT_EQ(listDirectory(dir.path), (std::vector<std::string>{"a.zlib", "bad.png"}));
}

TEST(PngConvert, MissingHeaderIsReportedBeforeAnExistingOutputWhichStaysUntouched) {
    TempDir dir;
    writeFile(dir.file("a.zlib"), zlibStream(bytesOf("stream")));
    const Bytes existing = bytesOf("already here");
    writeFile(dir.file("a.zlib.png"), existing);
    RunResult run = runQuorvexa({"--pngmissing.png", "a.zlib"}, dir.path);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, banner + "a.zlib - ERROR: PNG file missing.png doesn't exist.\n");
    EXPECT_EQ(readFile(dir.file("a.zlib.png")), existing);

    std::remove(dir.file("a.zlib.png").c_str());
    run = runQuorvexa({"--pngmissing.png", "a.zlib"}, dir.path);
    EXPECT_EQ(run.err, banner + "a.zlib - ERROR: PNG file missing.png doesn't exist.\n");
    EXPECT_FALSE(pathExists(dir.file("a.zlib.png")));
}

TEST(PngConvert, ApngWarningComesBeforeTheResultLineAndOnlyIdatDataIsTaken) {
    TempDir dir;
    const Bytes zlib = zlibStream(sampleData(500, 8));
    const Bytes fctl = chunk("fcTL", Bytes(26, 0));
    writeFile(dir.file("a.png"), concat({signature, ihdr(), chunk("acTL", {0, 0, 0, 3, 0, 0, 0, 0}), fctl,
                                         chunk("IDAT", zlib), fctl, chunk("fdAT", Bytes(30, 9)), fctl,
                                         chunk("fdAT", Bytes(30, 9)), iend, fctl}));
    RunResult run = runQuorvexa({"--zlib", "a.png"}, dir.path);
    EXPECT_EQ(run.err, banner + apngWarning3 + "a.png - SUCCESS: Saved as a.png.zlib.\n");
    EXPECT_EQ(readFile(dir.file("a.png.zlib")), zlib);

    // The warning is the reader's; a later failure still follows it.
    run = runQuorvexa({"--zlib", "a.png"}, dir.path);
    EXPECT_EQ(run.err, banner + apngWarning3 + "a.png - ERROR: Output file a.png.zlib already exists.\n");

    writeFile(dir.file("b.png"), concat({signature, ihdr(), chunk("acTL", {0, 0, 0, 1, 0, 0, 0, 0}),
                                         chunk("IDAT", zlib), iend}));
    run = runQuorvexa({"--zlib", "b.png"}, dir.path);
    EXPECT_EQ(run.err, banner +
                           "b.png - WARNING: APNG format detected (0 frames). Only first frame supported.\n"
                           "b.png - SUCCESS: Saved as b.png.zlib.\n");
}

TEST(PngConvert, TruncatedInputsGiveCode16AndNoOutput) {
    TempDir dir;
    const Bytes idat = chunk("IDAT", zlibStream(bytesOf("image")));
    writeFile(dir.file("h.png"), concat({signature, ihdr(), iend}));
    writeFile(dir.file("cut.png"), concat({signature, ihdr(), slice(idat, 0, idat.size() - 2)}));
    writeFile(dir.file("long.png"), concat({signature, ihdr(), chunkPrefix(0x90000000u, "IDAT"), Bytes(16, 0)}));
    writeFile(dir.file("empty.png"), concat({signature, ihdr(), iend}));
    const RunResult run = runQuorvexa({"--pngh.png", "cut.png", "long.png", "empty.png"}, dir.path);
    const std::string message = " - ERROR: Input file is truncated or unreadable.\n";
    EXPECT_EQ(run.err, banner + "cut.png" + message + "long.png" + message + "empty.png" + message);
    EXPECT_EQ(listDirectory(dir.path), (std::vector<std::string>{"cut.png", "empty.png", "h.png", "long.png"}));

    writeFile(dir.file("a.zlib"), zlibStream(bytesOf("stream")));
    writeFile(dir.file("cuthead.png"), concat({signature, ihdr(), chunkPrefix(50, "tEXt")}));
    const RunResult header = runQuorvexa({"--pngcuthead.png", "a.zlib"}, dir.path);
    EXPECT_EQ(header.err, banner + "a.zlib" + message);
    EXPECT_FALSE(pathExists(dir.file("a.zlib.png")));
}

}  // namespace
