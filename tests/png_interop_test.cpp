// PNG output checked by tools nobody here wrote: pngcheck validates the chunks, Pillow decodes
// the pixels. Inputs are images made here and PNG files found on the machine.
#include <gtest/gtest.h>

#include <sstream>

#include "support/test_support.h"

namespace {

// Skips when a tool is missing, unless the run demands every tool (make test).
#define REQUIRE_TOOL(available, name)                          \
    do {                                                       \
        if (!(available)) {                                    \
            if (toolsRequired()) FAIL() << (name) << " missing"; \
            GTEST_SKIP() << (name) << " missing";              \
        }                                                      \
    } while (0)

bool pillowAvailable() {
    return runShell(python3() + " -c 'import PIL.Image'").exitCode == 0;
}

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

Bytes be32(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}

Bytes chunk(const std::string& type, const Bytes& data) {
    const Bytes typed = concat({bytesOf(type), data});
    return concat({be32(static_cast<uint32_t>(data.size())), typed, be32(crc32Of(typed))});
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
    return concat({{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}, chunk("IHDR", header),
                   chunk("tEXt", concat({bytesOf("Title"), {0}, bytesOf("made here")})),
                   chunk("IDAT", Bytes(zlib.begin(), zlib.begin() + static_cast<long>(third))),
                   chunk("IDAT", Bytes(zlib.begin() + static_cast<long>(third), zlib.end() - 5)), chunk("IDAT", {}),
                   chunk("IDAT", Bytes(zlib.end() - 5, zlib.end())), chunk("IEND", {})});
}

// Result lines after the banner, one per input file.
std::vector<std::string> resultLines(const RunResult& run) {
    std::vector<std::string> lines;
    std::istringstream in(run.err.substr(std::min(run.err.size(), banner.size())));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool containerMissing(const RunResult& run) {
    return run.err.find("Unknown file format.") != std::string::npos;
}

TEST(PngInterop, MadeImageSurvivesPngToZlibToPng) {
    REQUIRE_TOOL(toolAvailable("pngcheck"), "pngcheck");
    REQUIRE_TOOL(pillowAvailable(), "python3-pil");
    TempDir dir;
    writeFile(dir.file("a.png"), madeImage());
    ASSERT_TRUE(pngcheckPasses(dir.file("a.png")));
    RunResult run = runQuorvexa({"--zlib", "a.png"}, dir.path);
    ASSERT_EQ(run.err, banner + "a.png - SUCCESS: Saved as a.png.zlib.\n");
    run = runQuorvexa({"--pnga.png", "a.png.zlib"}, dir.path);
    ASSERT_EQ(run.err, banner + "a.png.zlib - SUCCESS: Saved as a.png.zlib.png.\n");
    EXPECT_TRUE(pngcheckPasses(dir.file("a.png.zlib.png")));
    expectSamePixels(dir, {{"a.png", "a.png.zlib.png"}});
}

TEST(PngInterop, GzipStreamBecomesAValidPng) {
    REQUIRE_TOOL(toolAvailable("pngcheck"), "pngcheck");
    REQUIRE_TOOL(toolAvailable("gzip"), "gzip");
    REQUIRE_TOOL(pillowAvailable(), "python3-pil");
    TempDir dir;
    writeFile(dir.file("a.png"), madeImage());
    writeFile(dir.file("rows"), imageRows());
    ASSERT_EQ(runShell("gzip -9 -n " + dir.file("rows")).exitCode, 0);
    const RunResult run = runQuorvexa({"--pnga.png", "rows.gz"}, dir.path);
    if (containerMissing(run)) GTEST_SKIP() << "no GZIP reader in this tree";
    ASSERT_EQ(run.err, banner + "rows.gz - SUCCESS: Saved as rows.gz.png.\n");
    EXPECT_TRUE(pngcheckPasses(dir.file("rows.gz.png")));
    expectSamePixels(dir, {{"a.png", "rows.gz.png"}});
}

TEST(PngInterop, ZipEntriesDeflatedAndStoredBecomeValidPngs) {
    REQUIRE_TOOL(toolAvailable("pngcheck"), "pngcheck");
    REQUIRE_TOOL(pillowAvailable(), "python3-pil");
    TempDir dir;
    writeFile(dir.file("a.png"), madeImage());
    writeFile(dir.file("rows"), imageRows());
    const std::string script =
        "import zipfile\n"
        "for name, method in (('deflated.zip', zipfile.ZIP_DEFLATED), ('stored.zip', zipfile.ZIP_STORED)):\n"
        "    with zipfile.ZipFile(name, 'w', method) as archive:\n"
        "        archive.write('rows')\n";
    writeFile(dir.file("make.py"), bytesOf(script));
    ASSERT_EQ(runShell("cd " + dir.path + " && " + python3() + " make.py").exitCode, 0);
    RunResult run = runQuorvexa({"--pnga.png", "deflated.zip", "stored.zip"}, dir.path);
    if (containerMissing(run)) GTEST_SKIP() << "no ZIP reader in this tree";
    ASSERT_EQ(run.err, banner + "deflated.zip - SUCCESS: Saved as deflated.zip.png.\n" +
                           "stored.zip - SUCCESS: Saved as stored.zip.png.\n");
    EXPECT_TRUE(pngcheckPasses(dir.file("deflated.zip.png")));
    EXPECT_TRUE(pngcheckPasses(dir.file("stored.zip.png")));
    expectSamePixels(dir, {{"a.png", "deflated.zip.png"}, {"a.png", "stored.zip.png"}});
}

// PNG files nobody here wrote, each taken through ZLIB (and ZIP, where that container exists)
// and back into a PNG built on its own header.
TEST(PngInterop, PngFilesOnThisMachineRoundTripPixelForPixel) {
    REQUIRE_TOOL(toolAvailable("pngcheck"), "pngcheck");
    REQUIRE_TOOL(pillowAvailable(), "python3-pil");
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
    const std::vector<std::string> lines = resultLines(runQuorvexa(arguments, dir.path));
    std::vector<std::string> taken;
    for (const std::string& name : names) {
        const std::string success = name + " - SUCCESS: Saved as " + name + ".zlib.";
        bool ok = false, apng = false;
        for (const std::string& line : lines) {
            ok = ok || line == success;
            apng = apng || line.rfind(name + " - WARNING: APNG", 0) == 0;
        }
        if (ok && !apng) taken.push_back(name);
    }
    ASSERT_FALSE(taken.empty()) << "our reader refused every PNG found";

    std::vector<std::pair<std::string, std::string>> pairs;
    bool zipPresent = true;
    for (const std::string& name : taken) {
        SCOPED_TRACE(name);
        RunResult run = runQuorvexa({"--png" + name, name + ".zlib"}, dir.path);
        ASSERT_EQ(run.err, banner + name + ".zlib - SUCCESS: Saved as " + name + ".zlib.png.\n");
        if (pngcheckPasses(dir.file(name))) {
            EXPECT_TRUE(pngcheckPasses(dir.file(name + ".zlib.png")));
        }
        pairs.emplace_back(name, name + ".zlib.png");

        if (!zipPresent) continue;
        runQuorvexa({"--zip", name}, dir.path);
        run = runQuorvexa({"--png" + name, name + ".zip"}, dir.path);
        if (containerMissing(run) || !pathExists(dir.file(name + ".zip"))) {
            zipPresent = false;
            continue;
        }
        ASSERT_EQ(run.err, banner + name + ".zip - SUCCESS: Saved as " + name + ".zip.png.\n");
        if (pngcheckPasses(dir.file(name))) {
            EXPECT_TRUE(pngcheckPasses(dir.file(name + ".zip.png")));
        }
        pairs.emplace_back(name, name + ".zip.png");
    }
    expectSamePixels(dir, pairs);
    RecordProperty("files", static_cast<int>(taken.size()));
    RecordProperty("zipRoundTrip", zipPresent ? "yes" : "no (no ZIP container yet)");
}

}  // namespace
