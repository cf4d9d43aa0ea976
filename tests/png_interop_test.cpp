// PNG output checked by tools nobody here wrote: pngcheck validates the chunks, Pillow decodes
// the pixels. Inputs are images made here and PNG files found on the machine.
#include <gtest/gtest.h>

#include <sstream>

#include "support/test_support.h"

namespace {

const char* const comparePixelsScript = R"(import sys
from PIL import Image
bad = []
for a, b in zip(sys.argv[1::2], sys.argv[2::2]):
    try:
        with Image.open(a) as x, Image.open(b) as y:
            if x.size != y.size or x.convert('RGBA').tobytes() != y.convert('RGBA').tobytes():
                bad.append(b + ': pixels differ')
    except Exception as error:
        bad.append(b + ': ' + str(error))
print('\n'.join(bad))
sys.exit(1 if bad else 0)
)";

// Compares each (original, converted) pair pixel for pixel in one Pillow run.
void expectSamePixels(const TempDir& dir, const std::vector<std::pair<std::string, std::string>>& pairs) {
    if (pairs.empty()) return;
    writeFile(dir.file("compare.py"), bytesOf(comparePixelsScript));
    std::string command = python3() + " " + dir.file("compare.py");
    for (const auto& [original, converted] : pairs) command += " " + dir.file(original) + " " + dir.file(converted);
    const RunResult run = runShell(command);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
}

bool pngcheckPasses(const std::string& path) {
    return runShell("pngcheck -q " + path).exitCode == 0;
}

constexpr uint32_t imageWidth = 40;
constexpr uint32_t imageHeight = 30;

// Filtered scanlines (filter type 0) of an 8-bit RGBA gradient.
Bytes imageRows() {
    Bytes rows;
    for (uint32_t y = 0; y < imageHeight; ++y) {
        rows.push_back(0);
        for (uint32_t x = 0; x < imageWidth; ++x) {
            rows.insert(rows.end(), {static_cast<uint8_t>(x * 6), static_cast<uint8_t>(y * 8),
                                     static_cast<uint8_t>((x * y) & 0xFF), static_cast<uint8_t>(255 - x)});
        }
    }
    return rows;
}

// A valid PNG whose image data is spread over several IDAT chunks, one of them empty (PNG wants
// them consecutive, so nothing goes between them here).
Bytes madeImage() {
    const Bytes zlib = zlibStream(imageRows());
    const size_t third = zlib.size() / 3;
    const Bytes header = concat({be32(imageWidth), be32(imageHeight), {8, 6, 0, 0, 0}});
    return concat({{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}, pngChunk("IHDR", header),
                   pngChunk("tEXt", concat({bytesOf("Title"), {0}, bytesOf("made here")})),
                   pngChunk("IDAT", Bytes(zlib.begin(), zlib.begin() + static_cast<long>(third))),
                   pngChunk("IDAT", Bytes(zlib.begin() + static_cast<long>(third), zlib.end() - 5)), pngChunk("IDAT", {}),
                   pngChunk("IDAT", Bytes(zlib.end() - 5, zlib.end())), pngChunk("IEND", {})});
}

// PNG -> ZLIB -> PNG on a made image, and PNGs from streams gzip and python3's zipfile made
// (deflated and stored), all on the made image's header.
TEST(PngInterop, MadeStreamsBecomeValidPngsWithTheSamePixels) {
    REQUIRE_TOOL("pngcheck");
    REQUIRE_TOOL("gzip");
    REQUIRE_TOOL("python3-pil");
    TempDir dir;
    writeFile(dir.file("a.png"), madeImage());
    ASSERT_TRUE(pngcheckPasses(dir.file("a.png")));
    writeFile(dir.file("rows"), imageRows());
    writeFile(dir.file("make.py"),
              bytesOf("import zipfile\n"
                      "for name, method in (('deflated.zip', zipfile.ZIP_DEFLATED), ('stored.zip', zipfile.ZIP_STORED)):\n"
                      "    with zipfile.ZipFile(name, 'w', method) as archive:\n"
                      "        archive.write('rows')\n"));
    ASSERT_EQ(runShell("cd " + dir.path + " && " + python3() + " make.py && gzip -9 -n rows").exitCode, 0);
    ASSERT_EQ(runQuorvexa({"--zlib", "a.png"}, dir.path).err, banner + successLine("a.png", "a.png.zlib"));
    std::string expected = banner;
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const std::string input : {"a.png.zlib", "rows.gz", "deflated.zip", "stored.zip"}) {
        expected += successLine(input, input + ".png");
        pairs.emplace_back("a.png", input + ".png");
    }
    ASSERT_EQ(runQuorvexa({"--pnga.png", "a.png.zlib", "rows.gz", "deflated.zip", "stored.zip"}, dir.path).err,
              expected);
    for (const auto& [original, converted] : pairs) EXPECT_TRUE(pngcheckPasses(dir.file(converted))) << converted;
    expectSamePixels(dir, pairs);
}

// PNG files nobody here wrote, each taken through ZLIB and ZIP and back into a PNG built on
// its own header.
TEST(PngInterop, PngFilesOnThisMachineRoundTripPixelForPixel) {
    REQUIRE_TOOL("pngcheck");
    REQUIRE_TOOL("python3-pil");
    const RunResult found =
        runShell("find /usr/share -name '*.png' -type f -size -1024k 2>/dev/null | LC_ALL=C sort | head -n 20");
    std::vector<std::string> sources;
    std::istringstream list(found.out);
    for (std::string line; std::getline(list, line);) {
        if (!line.empty()) sources.push_back(line);
    }
    if (sources.empty()) GTEST_SKIP() << "no PNG files under /usr/share";

    TempDir dir;
    std::vector<std::string> names;
    for (size_t i = 0; i < sources.size(); ++i) {
        names.push_back("in" + std::to_string(i) + ".png");
        writeFile(dir.file(names.back()), readFile(sources[i]));
    }

    // PNG -> ZLIB for all of them in one run; APNGs and files the reader refuses drop out.
    std::vector<std::string> arguments = {"--zlib"};
    arguments.insert(arguments.end(), names.begin(), names.end());
    const std::string err = runQuorvexa(arguments, dir.path).err;
    std::vector<std::string> taken;
    for (const std::string& name : names) {
        const bool ok = err.find("\n" + successLine(name, name + ".zlib")) != std::string::npos;
        if (ok && err.find("\n" + name + " - WARNING: APNG") == std::string::npos) taken.push_back(name);
    }
    ASSERT_FALSE(taken.empty()) << "our reader refused every PNG found";

    std::vector<std::pair<std::string, std::string>> pairs;
    for (const std::string& name : taken) {
        SCOPED_TRACE(name);
        ASSERT_EQ(runQuorvexa({"--zip", name}, dir.path).err, banner + successLine(name, name + ".zip"));
        for (const std::string& via : {name + ".zlib", name + ".zip"}) {
            ASSERT_EQ(runQuorvexa({"--png" + name, via}, dir.path).err, banner + successLine(via, via + ".png"));
            EXPECT_TRUE(!pngcheckPasses(dir.file(name)) || pngcheckPasses(dir.file(via + ".png")));
            pairs.emplace_back(name, via + ".png");
        }
    }
    expectSamePixels(dir, pairs);
    RecordProperty("files", static_cast<int>(taken.size()));
}

}  // namespace
