// Outputs checked by the tools people use, and inputs made by them or found on this machine: a
// valid-looking output that another reader rejects is the worst failure this program can have.
#include <gtest/gtest.h>

#include <ctime>
#include <iterator>
#include <sstream>

#include "support/test_support.h"

namespace {

// Text, then noise: a stream over 1 MiB in every DEFLATE block kind, so that conversions into ZIP,
// GZIP and ZLIB take the early copy and its head rewrite.
const Bytes text = concat({sampleData(3000000), noiseData(1200000)});

// The SHA-256 of the data a Python reader gets back from path ("zip": the first entry,
// "gzip", "zlib", or "raw": the file itself). A reader's error (or no python3) fails the test.
std::string pythonReads(const std::string& kind, const std::string& path) {
    // A streaming reader trusts a ZIP's local header: it must say what the central directory says.
    const std::string read = kind == "zip"    ? "(lambda z, i: z.read(i) if open(p, 'rb').read(26)[14:] == struct.pack('<III', i.CRC,"
                                                " i.compress_size, i.file_size) else b'')(zipfile.ZipFile(p), zipfile.ZipFile(p).infolist()[0])"
                             : kind == "gzip" ? "gzip.open(p).read()"
                             : kind == "zlib" ? "zlib.decompress(open(p, 'rb').read())"
                                              : "open(p, 'rb').read()";
    const std::string sha = runShell(python3() + " -c \"import sys, struct, zipfile, gzip, zlib, hashlib; p = sys.argv[1]; print(hashlib.sha256(" +
                                     read + ").hexdigest())\" " + path + " 2>&1").out;
    if (sha.size() != 65) ADD_FAILURE() << "python3 can't read " << path << " as " << kind << ": " << sha;
    return sha;
}

// Fails unless every file entry of ARCHIVE (argv[1]) has its data in FOLDER/NAME.KIND (KIND zip, gz or zlib), as python reads them.
const std::string everyEntry = "import sys, zipfile, gzip, zlib; z, d, f = zipfile.ZipFile(sys.argv[1]), *sys.argv[2:]; read = {'zip': lambda p: zipfile.ZipFile(p)"
                               ".read(zipfile.ZipFile(p).infolist()[0]), 'gz': lambda p: gzip.open(p).read(), 'zlib': lambda p: zlib.decompress(open(p, 'rb')"
                               ".read())}[f]; sys.exit(sum(read(f'{d}/{i.filename}.{f}') != z.read(i) for i in z.infolist() if not i.is_dir()))";

// The real files of installed Debian packages that make test installs (kbd, python3-pip-whl,
// libhamcrest-java), with any the image keeps under /usr/share/doc and /usr/share/man.
std::vector<std::string> filesFound(const std::string& findArguments) {
    std::vector<std::string> paths;
    std::istringstream found(runShell("find " + findArguments + " 2>/dev/null | sort | head -n 20").out);
    for (std::string path; std::getline(found, path);) paths.push_back(path);
    return paths;
}

}  // namespace

// Every container into every other, inputs made by gzip, python and zip (stored), and GZIP files of
// many members (bgzip's blocks; gzip -1 and -9 files one after the other), each output read back by
// the reference reader.
TEST(Interop, EveryPairReadsBackInPythonGzipAndUnzip) {
    REQUIRE_TOOL("gzip");
    REQUIRE_TOOL("bgzip");
    REQUIRE_TOOL("zip");
    REQUIRE_TOOL("unzip");
    TempDir dir;
    writeFile(dir.file("t"), text);
    ASSERT_EQ(runShell("cd " + dir.path + " && gzip -k t && zip -q -0 s.zip t && bgzip -@1 -c t > b.gz && " +
                       "(head -c 3500000 t | gzip -1; tail -c +3500001 t | gzip -9) > c.gz && " + python3() +
                       " -c \"import zlib; open('t.zlib', 'wb').write(zlib.compress(open('t', 'rb').read(), 9))\"")
                  .exitCode,
              0);
    const std::string original = pythonReads("raw", dir.file("t"));
    for (const std::string input : {"t.gz", "t.zlib", "s.zip", "b.gz", "c.gz"}) {
        for (const char* format : {"--zip", "--gzip", "--zlib"}) ASSERT_EQ(runQuorvexa({format, input}, dir.path).exitCode, 0);
        EXPECT_EQ(pythonReads("zip", dir.file(input + ".zip")), original) << input;
        EXPECT_EQ(pythonReads("gzip", dir.file(input + ".gz")), original) << input;
        EXPECT_EQ(pythonReads("zlib", dir.file(input + ".zlib")), original) << input;
        EXPECT_EQ(runShell("gzip -t " + dir.file(input + ".gz")).exitCode, 0) << input;
        EXPECT_EQ(runShell("unzip -tq " + dir.file(input + ".zip")).exitCode, 0) << input;
    }
    // unzip makes a non-ASCII name and an executable's mode of the entry: the file's, then an entry's own
// (Windows files have none: 0644).
    ASSERT_EQ(runShell("cd " + dir.path + " && mkdir café && gzip <t >café/日本.txt.gz && chmod 755 café/日本.txt.gz").exitCode, 0);
    ASSERT_EQ(runQuorvexa({"café/日本.txt.gz"}, dir.path).exitCode + runShell("chmod 600 " + dir.file("café/*.zip")).exitCode, 0);
    ASSERT_EQ(runQuorvexa({"-o", "u.zip", "café/日本.txt.gz.zip"}, dir.path).exitCode, 0);
    EXPECT_EQ(runShell("cd " + dir.path + " && export LC_ALL=C.UTF-8 && unzip -q café/日本.txt.gz.zip -d x && unzip -q u.zip -d y"
                       " && stat -c %a x/café/日本.txt y/café/日本.txt").out, programPath().ends_with(".exe") ? "644\n644\n" : "755\n755\n");
    // Unverified, a first member is walked while it is copied: the copy stands alone or gives way to the join.
    for (const std::string input : {"t.gz", "b.gz", "c.gz"}) {
        ASSERT_EQ(runQuorvexa({"--no-verify", "--gzip", "-f", "-o", "n.gz", input}, dir.path).exitCode, 0);
        EXPECT_EQ(pythonReads("gzip", dir.file("n.gz")), original) << input;
    }
}

// Archives as zip writes them: plain, stored, from a pipe (data descriptor), forced ZIP64, a folder
// entry first, and one whose date words are 0 and whose extended timestamps (first in both extra
// fields) are renamed, as writers without a clock leave them: no time, so the output gets the present one.
TEST(Interop, ArchivesMadeByZip) {
    REQUIRE_TOOL("zip");
    TempDir dir;
    writeFile(dir.file("data.txt"), text);
    const std::string cd = "cd " + dir.path + " && ";
    ASSERT_EQ(runShell(cd + "zip -q plain.zip data.txt && zip -q -0 stored.zip data.txt && mkdir d && cp data.txt d/"
                            " && zip -q -r folder.zip d && zip -q -fz zip64.zip data.txt && zip -q - data.txt <data.txt"
                            " >pipe.zip && cat data.txt | zip -q stdin.zip - && cp plain.zip nodate.zip && " + python3() +
                            " -c \"d = bytearray(open('nodate.zip', 'rb').read()); c = d.find(b'PK\\1\\2'); d[10:14] = d[c + 12:c + 16] = bytes(4); d[38] = d[c + 54] = 0;"
                            " open('nodate.zip', 'wb').write(d)\"")
                  .exitCode,
              0);
    const uint64_t before = static_cast<uint64_t>(std::time(nullptr));
    for (const std::string input : {"plain.zip", "stored.zip", "folder.zip", "zip64.zip", "pipe.zip", "stdin.zip", "nodate.zip"}) {
        const RunResult run = runQuorvexa({"--gzipname", input}, dir.path);
        EXPECT_EQ(run.err, banner + successLine(input, input + ".gz"));
        EXPECT_EQ(pythonReads("gzip", dir.file(input + ".gz")), pythonReads("raw", dir.file("data.txt"))) << input;
    }
    EXPECT_GE(loadLe(readFile(dir.file("nodate.zip.gz")), 4, 4), before);
}

// Streams Debian's tools made: GZIP to ZIP to GZIP gives back the original stream and trailer.
TEST(Interop, SystemGzipFilesSurviveARoundTrip) {
    const std::vector<std::string> found =
        filesFound("/usr/share/consolefonts /usr/share/doc /usr/share/man -name '*.gz' -size +2k");
    REQUIRE_THAT(!found.empty(), "no .gz files on this machine (scripts/install-deps.sh test installs kbd)");
    TempDir dir;
    for (const std::string& path : found) {
        const Bytes original = readFile(path);
        writeFile(dir.file("f.gz"), original);
        for (const std::vector<std::string>& arguments : {std::vector<std::string>{"f.gz"}, {"--gzip", "f.gz.zip"}}) {
            const RunResult run = runQuorvexa(arguments, dir.path);
            ASSERT_EQ(run.exitCode, 0) << path << "\n" << run.err;
        }
        const Bytes back = readFile(dir.file("f.gz.zip.gz"));
        EXPECT_EQ(Bytes(back.begin() + 10, back.end()), Bytes(original.end() - static_cast<long>(back.size() - 10), original.end()));
        runShell("rm -f " + dir.file("f.gz*"));
    }
}

// Wheels and jars: the first file entry comes out as the data zipfile reads from it; with
// --all-entries, every file entry does, each in a GZIP file of its own; and rewrapped with -o,
// the archive reads back entry by entry as it was, folders too.
TEST(Interop, WheelsAndJarsConvertTheirFirstFileOrEveryFile) {
    const std::vector<std::string> found =
        filesFound("/usr/share/python-wheels /usr/share/java \\( -name '*.whl' -o -name '*.jar' \\) -size -20M");
    REQUIRE_THAT(found.size() >= 2, "no wheels or jars (scripts/install-deps.sh test installs python3-pip-whl and libhamcrest-java)");
    TempDir dir;
    const std::string firstFile = "import sys, zipfile, zlib; z = zipfile.ZipFile(sys.argv[1]); f = min((i for i in z.infolist()"
                                  " if not i.is_dir()), key=lambda i: i.header_offset); sys.exit(z.read(f) != zlib.decompress("
                                  "open(sys.argv[2], 'rb').read()))";
    for (const std::string& path : found) {
        writeFile(dir.file("in.zip"), readFile(path));
        const RunResult run = runQuorvexa({"--zlib", "in.zip"}, dir.path);
        EXPECT_EQ(run.exitCode, run.err.find(" left out.") == std::string::npos ? 0 : 3) << path << run.err;
        EXPECT_EQ(runShell(python3() + " -c \"" + firstFile + "\" " + dir.file("in.zip") + " " + dir.file("in.zip.zlib")).exitCode, 0)
            << path;
        ASSERT_EQ(runQuorvexa({"--gzip", "--all-entries", "in.zip"}, dir.path).exitCode, 0) << path;
        EXPECT_EQ(runShell("cd " + dir.path + " && " + python3() + " -c \"" + everyEntry + "\" in.zip in gz").exitCode, 0) << path;
        ASSERT_EQ(runQuorvexa({"--all-entries", "-o", "in.new.zip", "in.zip"}, dir.path).exitCode, 0) << path;
        EXPECT_EQ(runShell("cd " + dir.path + " && " + python3() + " -c \"import zipfile; e = lambda p: [(i.filename, zipfile.ZipFile(p).read(i))"
                           " for i in zipfile.ZipFile(p).infolist()]; exit(e('in.zip') != e('in.new.zip'))\"").exitCode, 0) << path;
        runShell("rm -rf " + dir.file("in*"));
    }
}

// A tree of 1,200 small files (empty ones stored) packed by zip -9 -r: every entry to every format,
// each read back whole by python and the tools.
TEST(Interop, EveryEntryOfAThousandFilesToEveryFormat) {
    REQUIRE_TOOL("zip");
    TempDir dir;
    ASSERT_EQ(runShell("cd " + dir.path + " && " + python3() + " -c \"import os; [os.makedirs(f't/{i % 7}', exist_ok=True) or open(f't/{i % 7}/"
                       "{i}', 'w').write(str(i) * (i % 50)) for i in range(1200)]\" && zip -q -9 -r t.zip t").exitCode, 0);
    for (const std::string format : {"zip", "gz", "zlib"}) {
        ASSERT_EQ(runQuorvexa({"--" + (format == "gz" ? "gzip" : format), "--all-entries", "--outdir=" + format, "t.zip"}, dir.path).exitCode, 0);
        EXPECT_EQ(runShell("cd " + dir.path + " && " + python3() + " -c \"" + everyEntry + "\" t.zip " + format + " " + format).exitCode, 0) << format;
    }
    EXPECT_EQ(runShell("cd " + dir.path + " && gzip -tr gz && for f in zip/t/*/*.zip; do unzip -tq $f >/dev/null || exit 1; done").exitCode, 0);
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

// The web server's assets the other way: a tree of files, made .gz by gzip -9 and zopfli, into one
// archive. unzip, zipfile and bsdtar read every entry back, named by its path, in the order given,
// and each entry's stream is its file's, byte for byte.
TEST(Interop, GzipFilesOfATreeIntoOneArchive) {
    REQUIRE_TOOL("zopfli");
    REQUIRE_TOOL("bsdtar");
    TempDir dir;
    const std::string cd = "cd " + dir.path + " && ", inputs = " $(find g -name '*.gz' | sort)";
    ASSERT_EQ(runShell(cd + "for d in css js/lib img; do mkdir -p t/$d && for i in $(seq 0 11); do seq $((i * 900)) | sed \"s|^|$d |\" >t/$d/$i;"
                       " done; done && cp -r t g && gzip -9n g/css/* g/img/* && zopfli g/js/lib/* && rm g/js/lib/? g/js/lib/??").exitCode, 0);
    std::istringstream found(runShell(cd + "echo -q -o o.zip" + inputs).out);
    const std::vector<std::string> arguments{std::istream_iterator<std::string>(found), std::istream_iterator<std::string>()};
    ASSERT_EQ(runQuorvexa(arguments, dir.path).exitCode, 0);
    const std::string entries = "import sys, struct, zipfile; z, a, p = zipfile.ZipFile('o.zip'), open('o.zip', 'rb').read(), sys.argv[1:];"
        " o = lambda i: i.header_offset + 30 + sum(struct.unpack('<HH', a[i.header_offset + 26:i.header_offset + 30]));"
        " sys.exit([i.filename for i in z.infolist()] != [f[:-3] for f in p] or any(a[o(i):o(i) + i.compress_size] !="
        " open(f, 'rb').read()[10:-8] or z.read(i) != open('t' + f[1:-3], 'rb').read() for i, f in zip(z.infolist(), p)))";
    EXPECT_EQ(runShell(cd + python3() + " -c \"" + entries + "\"" + inputs).exitCode, 0);
    EXPECT_EQ(runShell(cd + "unzip -tq o.zip && mkdir x && bsdtar -xf o.zip -C x && diff -r t x/g").exitCode, 0);
}
