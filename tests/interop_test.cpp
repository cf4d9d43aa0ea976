// Outputs checked by the tools people use, and inputs made by them or found on this machine: a
// valid-looking output that another reader rejects is the worst failure this program can have.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

// Large enough that the stream is copied while it is checked.
const Bytes text = sampleData(4000000);

// The SHA-256 of the data a Python reader gets back from path ("zip", "gzip", "zlib" or "raw": the
// file itself), or its error.
std::string pythonReads(const std::string& kind, const std::string& path) {
    const std::string read = kind == "zip"    ? "zipfile.ZipFile(p).read(zipfile.ZipFile(p).namelist()[0])"
                             : kind == "gzip" ? "gzip.open(p).read()"
                             : kind == "zlib" ? "zlib.decompress(open(p, 'rb').read())"
                                              : "open(p, 'rb').read()";
    return runShell(python3() + " -c \"import sys, zipfile, gzip, zlib, hashlib; p = sys.argv[1]; print(hashlib.sha256(" +
                    read + ").hexdigest())\" " + path + " 2>&1")
        .out;
}

}  // namespace

// Every container into every other, inputs made by gzip, python and zip (stored), each output read
// back by the reference reader.
TEST(Interop, EveryPairReadsBackInPythonGzipAndUnzip) {
    REQUIRE_TOOL("gzip");
    REQUIRE_TOOL("zip");
    REQUIRE_TOOL("unzip");
    TempDir dir;
    writeFile(dir.file("t"), text);
    ASSERT_EQ(runShell("cd " + dir.path + " && gzip -k t && zip -q -0 s.zip t && " + python3() +
                       " -c \"import zlib; open('t.zlib', 'wb').write(zlib.compress(open('t', 'rb').read(), 9))\"")
                  .exitCode,
              0);
    const std::string original = pythonReads("raw", dir.file("t"));
    for (const std::string input : {"t.gz", "t.zlib", "s.zip"}) {
        for (const char* format : {"--zip", "--gzip", "--zlib"}) ASSERT_EQ(runQuorvexa({format, input}, dir.path).exitCode, 0);
        EXPECT_EQ(pythonReads("zip", dir.file(input + ".zip")), original) << input;
        EXPECT_EQ(pythonReads("gzip", dir.file(input + ".gz")), original) << input;
        EXPECT_EQ(pythonReads("zlib", dir.file(input + ".zlib")), original) << input;
        EXPECT_EQ(runShell("gzip -t " + dir.file(input + ".gz")).exitCode, 0) << input;
        EXPECT_EQ(runShell("unzip -tq " + dir.file(input + ".zip")).exitCode, 0) << input;
    }
}

// Archives as zip writes them: plain, stored, from a pipe (data descriptor), forced ZIP64, and a
// folder entry first.
TEST(Interop, ArchivesMadeByZip) {
    REQUIRE_TOOL("zip");
    TempDir dir;
    writeFile(dir.file("data.txt"), text);
    const std::string cd = "cd " + dir.path + " && ";
    ASSERT_EQ(runShell(cd + "zip -q plain.zip data.txt && zip -q -0 stored.zip data.txt && mkdir d && cp data.txt d/"
                            " && zip -q -r folder.zip d && zip -q -fz zip64.zip data.txt && zip -q - data.txt <data.txt"
                            " >pipe.zip && cat data.txt | zip -q stdin.zip -")
                  .exitCode,
              0);
    for (const std::string input : {"plain.zip", "stored.zip", "folder.zip", "zip64.zip", "pipe.zip", "stdin.zip"}) {
        const RunResult run = runQuorvexa({"--gzipname", input}, dir.path);
        EXPECT_EQ(run.err, banner + successLine(input, input + ".gz"));
        EXPECT_EQ(pythonReads("gzip", dir.file(input + ".gz")), pythonReads("raw", dir.file("data.txt"))) << input;
    }
}

// The streams zopfli, gzip -9 and others made, on this machine: GZIP to ZIP to GZIP gives back the
// original stream and trailer.
TEST(Interop, SystemGzipFilesSurviveARoundTrip) {
    const RunResult found = runShell("find /usr/share/doc /usr/share/man -name '*.gz' -size +2k 2>/dev/null | sort | head -n 20");
    if (found.out.empty()) GTEST_SKIP() << "no .gz files on this machine";
    TempDir dir;
    size_t index = 0;
    for (size_t start = 0, end; (end = found.out.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string name = "f" + std::to_string(index++) + ".gz";
        const Bytes original = readFile(found.out.substr(start, end - start));
        writeFile(dir.file(name), original);
        ASSERT_EQ(runQuorvexa({name}, dir.path).exitCode, 0) << found.out.substr(start, end - start);
        ASSERT_EQ(runQuorvexa({"--gzip", name + ".zip"}, dir.path).exitCode, 0);
        const Bytes back = readFile(dir.file(name + ".zip.gz"));
        EXPECT_EQ(Bytes(back.begin() + 10, back.end()), Bytes(original.end() - static_cast<long>(back.size() - 10), original.end()));
    }
}

TEST(Interop, WheelsAndJarsOnThisMachineConvert) {
    const RunResult found = runShell("find / -xdev \\( -name '*.whl' -o -name '*.jar' \\) -size -20M 2>/dev/null | head -n 5");
    if (found.out.empty()) GTEST_SKIP() << "no wheels or jars on this machine";
    TempDir dir;
    for (size_t start = 0, end; (end = found.out.find('\n', start)) != std::string::npos; start = end + 1) {
        writeFile(dir.file("in.zip"), readFile(found.out.substr(start, end - start)));
        const RunResult run = runQuorvexa({"--zlib", "in.zip"}, dir.path);
        EXPECT_EQ(run.exitCode, run.err.find(" left out.") == std::string::npos ? 0 : 3) << found.out.substr(start, end - start) << run.err;
        runShell("rm -f " + dir.file("in.zip*"));
    }
}

// The headline case: a PNG's image stream moved out and back in decodes to the same pixels, for
// images Pillow wrote: plain, and with a palette.
TEST(Interop, PngRoundTripKeepsThePixels) {
    REQUIRE_TOOL("pngcheck");
    REQUIRE_TOOL("python3-pil");
    TempDir dir;
    ASSERT_EQ(runShell("cd " + dir.path + " && " + python3() + " -c \"from PIL import Image; i = Image.radial_gradient('L')"
                       ".resize((300, 200)).convert('RGB'); i.save('a.png'); i.quantize(16).save('b.png')\"")
                  .exitCode,
              0);
    for (const std::string image : {"a.png", "b.png"}) {
        ASSERT_EQ(runQuorvexa({image}, dir.path).exitCode, 0);
        ASSERT_EQ(runQuorvexa({"--png" + image, image + ".zip"}, dir.path).exitCode, 0);
        EXPECT_EQ(runShell("pngcheck -q " + dir.file(image + ".zip.png")).exitCode, 0);
        const std::string compare = " -c \"import sys; from PIL import Image; a, b = (Image.open(p) for p in sys.argv[1:]);"
                                    " sys.exit(a.tobytes() != b.tobytes())\" ";
        EXPECT_EQ(runShell(python3() + compare + dir.file(image) + " " + dir.file(image + ".zip.png")).exitCode, 0);
    }
}
