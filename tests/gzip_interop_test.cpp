#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

std::string shellQuoted(const std::string& path) {
    std::string text = "'";
    for (char c : path) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text + "'";
}

// Checks a GZIP file with gzip itself and returns what gunzip makes of it.
std::string gunzipped(const std::string& path) {
    EXPECT_EQ(runShell("gzip -t " + shellQuoted(path)).exitCode, 0) << path;
    const RunResult run = runShell("gunzip -c " + shellQuoted(path));
    EXPECT_EQ(run.exitCode, 0) << path << ": " << run.err;
    return run.out;
}

}  // namespace

TEST(GzipInterop, OutputsPassGzipFromEveryInput) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    const Bytes data = sampleData(200000, 21);
    writeFile(dir.file("plain.txt"), data);
    ASSERT_EQ(runShell("cd " + shellQuoted(dir.path) + " && gzip -9 -n -c plain.txt > unnamed.gz && "
                       "gzip -1 -N -c plain.txt > named.gz").exitCode, 0);
    writeFile(dir.file("data.zlib"), zlibStream(data));
    writeFile(dir.file("empty.zlib"), zlibStream(Bytes{}));
    for (const std::string input : {"unnamed.gz", "named.gz", "data.zlib"}) {
        for (const std::string option : {"--gzip", "--gzipname"}) {
            const RunResult run = runQuorvexa({option, input}, dir.path);
            EXPECT_EQ(run.err, banner + successLine(input, input + ".gz"));
            EXPECT_EQ(bytesOf(gunzipped(dir.file(input + ".gz"))), data) << input << " " << option;
            std::filesystem::remove(dir.file(input + ".gz"));
        }
    }
    runQuorvexa({"--gzip", "empty.zlib"}, dir.path);
    EXPECT_EQ(gunzipped(dir.file("empty.zlib.gz")), "");
}

TEST(GzipInterop, GzipSeesTheStoredName) {
    REQUIRE_TOOL("gzip");
    TempDir dir;
    const Bytes data = sampleData(3000, 4);
    writeFile(dir.file("report.zlib"), zlibStream(data));
    ASSERT_EQ(runQuorvexa({"--gzipname", "report.zlib"}, dir.path).err, banner + successLine("report.zlib", "report.zlib.gz"));
    const RunResult list = runShell("gzip -lN " + shellQuoted(dir.file("report.zlib.gz")));
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_NE(list.out.find(dir.path + "/report\n"), std::string::npos) << list.out;

    // gunzip -N restores the stored name, not the one of the .gz file.
    ASSERT_EQ(mkdir(dir.file("out").c_str(), 0700), 0);
    ASSERT_EQ(runShell("cp " + shellQuoted(dir.file("report.zlib.gz")) + " " + shellQuoted(dir.file("out/x.gz"))).exitCode, 0);
    ASSERT_EQ(runShell("cd " + shellQuoted(dir.file("out")) + " && gunzip -N x.gz").exitCode, 0);
    EXPECT_EQ(listDirectory(dir.file("out")), std::vector<std::string>{"report"});
    EXPECT_EQ(readFile(dir.file("out/report")), data);

    // A name that gzip stored travels through GZIP unchanged.
    writeFile(dir.file("Mixed Case.txt"), data);
    ASSERT_EQ(runShell("cd " + shellQuoted(dir.path) + " && gzip -N -c 'Mixed Case.txt' > m.gz").exitCode, 0);
    runQuorvexa({"--gzipname", "m.gz"}, dir.path);
    const RunResult carried = runShell("gzip -lN " + shellQuoted(dir.file("m.gz.gz")));
    EXPECT_NE(carried.out.find(dir.path + "/Mixed Case.txt\n"), std::string::npos) << carried.out;
}

// Files on this machine that nobody here wrote: through ZLIB and back, the data is intact.
TEST(GzipInterop, SystemGzipFilesSurviveARoundTripThroughZlib) {
    REQUIRE_TOOL("gzip");
    std::vector<std::string> found;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(
             "/usr/share/doc", std::filesystem::directory_options::skip_permission_denied, error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (error) break;
        if (it->is_regular_file(error) && it->path().extension() == ".gz") found.push_back(it->path().string());
    }
    if (found.empty()) GTEST_SKIP() << "no .gz files under /usr/share/doc";
    std::sort(found.begin(), found.end());
    if (found.size() > 20) found.resize(20);

    TempDir dir;
    int converted = 0;
    for (size_t i = 0; i < found.size(); ++i) {
        const RunResult original = runShell("gunzip -c " + shellQuoted(found[i]));
        if (original.exitCode != 0) continue;  // not a gzip file we could compare against
        const std::string name = "f" + std::to_string(i) + ".gz";
        const Bytes content = readFile(found[i]);
        writeFile(dir.file(name), content);
        ASSERT_GE(content.size(), 4u);
        const RunResult toZlib = runQuorvexa({"--zlib", name}, dir.path);
        if (content[3] != 0x00 && content[3] != 0x08) {
            EXPECT_EQ(toZlib.err, banner + errorLine(name, "Unsupported GZIP flags.")) << found[i];
            continue;
        }
        ASSERT_EQ(toZlib.err, banner + successLine(name, name + ".zlib")) << found[i];
        ASSERT_EQ(runQuorvexa({"--gzip", name + ".zlib"}, dir.path).err, banner + successLine(name + ".zlib", name + ".zlib.gz"));
        EXPECT_EQ(gunzipped(dir.file(name + ".zlib.gz")), original.out) << found[i];
        ++converted;
    }
    RecordProperty("converted", converted);
}
