// ZIP output checked by tools nobody here wrote (unzip, zipinfo, python3's zipfile), and ZIP
// input made by those tools: Info-ZIP's zip from a file and from a pipe, python3 writing to a
// pipe, stored and ZIP64 entries, and the wheels and jars found on this machine.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "support/test_support.h"

namespace {

// check.py ARCHIVE DATA: the archive holds one entry whose bytes (CRC-checked) are DATA's.
const char* const checkScript = R"(import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    infos = archive.infolist()
    assert len(infos) == 1, 'entries: %d' % len(infos)
    assert archive.testzip() is None, 'bad CRC'
    data = archive.read(infos[0])
    assert data == open(sys.argv[2], 'rb').read(), 'data differs'
)";

// first.py ARCHIVE OUT: writes the entry whose local header opens the archive to OUT and
// prints its general-purpose flags and method.
const char* const firstEntryScript = R"(import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    info = min(archive.infolist(), key=lambda i: i.header_offset)
    assert info.header_offset == 0
    open(sys.argv[2], 'wb').write(archive.read(info))
    print(info.flag_bits, info.compress_type)
)";

// unseekable.py: an archive written to standard output, a pipe, so with a data descriptor.
const char* const unseekableScript = R"(import sys, zipfile
data = open('data', 'rb').read()
with zipfile.ZipFile(sys.stdout.buffer, 'w', zipfile.ZIP_DEFLATED) as archive:
    archive.writestr('piped.txt', data)
)";

struct Scripts {
    explicit Scripts(const TempDir& dir) : dir(dir) {
        writeFile(dir.file("check.py"), bytesOf(checkScript));
        writeFile(dir.file("first.py"), bytesOf(firstEntryScript));
        writeFile(dir.file("unseekable.py"), bytesOf(unseekableScript));
    }
    const TempDir& dir;
};

RunResult shellIn(const TempDir& dir, const std::string& command) {
    return runShell("cd '" + dir.path + "' && " + command);
}

// Every check a ZIP this program wrote must pass, with data as the entry's content.
void expectValidZip(const TempDir& dir, const std::string& archive, const std::string& dataFile) {
    RunResult run = shellIn(dir, "unzip -t '" + archive + "'");
    EXPECT_EQ(run.exitCode, 0) << archive << "\n" << run.out << run.err;
    run = shellIn(dir, "zipinfo '" + archive + "'");
    EXPECT_EQ(run.exitCode, 0) << archive << "\n" << run.out << run.err;
    run = shellIn(dir, python3() + " check.py '" + archive + "' '" + dataFile + "'");
    EXPECT_EQ(run.exitCode, 0) << archive << "\n" << run.out << run.err;
}

// A ZIP made elsewhere: its first entry goes to GZIP (checked by gunzip) and back to ZIP
// (checked by unzip, zipinfo and python3), and straight to ZIP; the data is always what
// python3's zipfile extracts from the original. Returns the entry's flags and method. Without
// thorough, only the GZIP and the ZIP made from it are checked (gunzip, python3).
std::string roundTrip(const TempDir& dir, const std::string& archive, bool thorough = true) {
    const std::string data = archive + ".data";
    const RunResult first = shellIn(dir, python3() + " first.py '" + archive + "' '" + data + "'");
    EXPECT_EQ(first.exitCode, 0) << first.out << first.err;
    if (first.exitCode != 0) return "";

    EXPECT_EQ(runQuorvexa({"--gzip", archive}, dir.path).err, banner + successLine(archive, archive + ".gz"));
    RunResult run = shellIn(dir, "gunzip -c '" + archive + ".gz' | cmp - '" + data + "'");
    EXPECT_EQ(run.exitCode, 0) << archive << ": " << run.out << run.err;

    EXPECT_EQ(runQuorvexa({archive + ".gz"}, dir.path).err, banner + successLine(archive + ".gz", archive + ".gz.zip"));
    if (!thorough) {
        run = shellIn(dir, python3() + " check.py '" + archive + ".gz.zip' '" + data + "'");
        EXPECT_EQ(run.exitCode, 0) << archive << "\n" << run.out << run.err;
        return first.out;
    }
    expectValidZip(dir, archive + ".gz.zip", data);
    run = shellIn(dir, "unzip -p '" + archive + ".gz.zip' | cmp - '" + data + "'");
    EXPECT_EQ(run.exitCode, 0) << archive << ": " << run.out << run.err;

    EXPECT_EQ(runQuorvexa({archive}, dir.path).err, banner + successLine(archive, archive + ".zip"));
    expectValidZip(dir, archive + ".zip", data);
    return first.out;
}

}  // namespace

TEST(ZipInterop, OutputsPassUnzipZipinfoAndPython) {
    for (const char* tool : {"zip", "unzip", "zipinfo", "gzip"}) REQUIRE_TOOL(tool);
    TempDir dir;
    Scripts scripts(dir);
    const Bytes text = sampleData(300000, 21);
    writeFile(dir.file("data"), text);
    writeFile(dir.file("empty"), {});
    writeFile(dir.file("stream.zlib"), zlibStream(text));
    writeFile(dir.file("n\xC3\xAF\xC3\xB1o.zlib"), zlibStream(text));
    writeFile(dir.file("void.zlib"), zlibStream({}));
    ASSERT_EQ(shellIn(dir, "gzip -c data > named.gz && zip -q -0 stored.zip data").exitCode, 0);

    const RunResult run = runQuorvexa(
        {"stream.zlib", "n\xC3\xAF\xC3\xB1o.zlib", "void.zlib", "named.gz", "stored.zip"}, dir.path);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err.find("ERROR"), std::string::npos) << run.err;
    expectValidZip(dir, "stream.zlib.zip", "data");
    expectValidZip(dir, "n\xC3\xAF\xC3\xB1o.zlib.zip", "data");
    expectValidZip(dir, "void.zlib.zip", "empty");
    expectValidZip(dir, "named.gz.zip", "data");
    expectValidZip(dir, "stored.zip.zip", "data");
    // The UTF-8 name reaches python intact (it decodes it as UTF-8 only when bit 11 is set).
    const RunResult names = shellIn(dir, python3() + " -c \"import zipfile; print(zipfile.ZipFile('n\xC3\xAF\xC3\xB1o.zlib.zip').namelist()[0] == 'n\\u00ef\\u00f1o')\"");
    EXPECT_EQ(names.out, "True\n") << names.err;
}

TEST(ZipInterop, ArchivesMadeByZipAndPythonRoundTrip) {
    for (const char* tool : {"zip", "unzip", "zipinfo", "gzip"}) REQUIRE_TOOL(tool);
    TempDir dir;
    Scripts scripts(dir);
    writeFile(dir.file("data"), sampleData(200000, 22));
    ASSERT_EQ(shellIn(dir, "zip -q plain.zip data && zip -q -0 stored.zip data && zip -q -fz zip64.zip data && "
                           "cat data | zip -q - - | cat > piped.zip && " +
                               python3() + " unseekable.py | cat > python.zip")
                  .exitCode,
              0);
    // flags and method as python3 reports them: bit 3 marks a data descriptor.
    EXPECT_EQ(roundTrip(dir, "plain.zip"), "0 8\n");
    EXPECT_EQ(roundTrip(dir, "stored.zip"), "0 0\n");
    EXPECT_EQ(roundTrip(dir, "zip64.zip"), "0 8\n");
    EXPECT_EQ(roundTrip(dir, "piped.zip"), "8 8\n");
    EXPECT_EQ(roundTrip(dir, "python.zip"), "8 8\n");
}

TEST(ZipInterop, WheelsAndJarsOnThisMachineRoundTrip) {
    for (const char* tool : {"zip", "unzip", "zipinfo", "gzip"}) REQUIRE_TOOL(tool);
    const RunResult found = runShell(
        "find /usr/share /usr/lib/python3* /usr/local/lib /root/.pyenv -maxdepth 8 -type f "
        "\\( -name '*.whl' -o -name '*.jar' \\) -size -20M 2>/dev/null | LC_ALL=C sort | head -n 20");
    std::vector<std::string> sources;
    std::istringstream list(found.out);
    for (std::string line; std::getline(list, line);) {
        if (!line.empty()) sources.push_back(line);
    }
    if (sources.empty()) GTEST_SKIP() << "no .whl or .jar files found";

    TempDir dir;
    Scripts scripts(dir);
    std::set<Bytes> seen;  // the same wheel is often bundled with several Python versions
    for (size_t i = 0; i < sources.size() && seen.size() < 12; ++i) {
        const Bytes content = readFile(sources[i]);
        if (!seen.insert(content).second) continue;
        const std::string name = "found" + std::to_string(i) + ".zip";
        writeFile(dir.file(name), content);
        SCOPED_TRACE(sources[i]);
        roundTrip(dir, name, false);
    }
}
