// The command line and the per-file loop, end to end on the built program.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "driver/convert_file.h"
#include "support/test_support.h"

namespace {

const std::string usage = std::string("Usage: ") + QUORVEXA_BINARY +
                          " [OPTIONS] INPUT_FILE\n\n"
                          "  --gzip         output to gzip format\n"
                          "  --gzipname     output to gzip format with filename\n"
                          "  --zip          output to zip format (default)\n"
                          "  --zlib         output to zlib format\n"
                          "  --png#         output to PNG, # is original PNG file for header\n\n"
                          " The program accepts following file types as input:\n"
                          "   GZ, ZIP, ZLIB, PNG.\n\n"
                          " Deflate stream is copied without recompression.\n\n"
                          " When outputting to PNG, original PNG file is required for correct\n"
                          " header, example: " +
                          QUORVEXA_BINARY + " --pngoriginalimage.png optimizedimage.zip\n\n";

const std::string noInput =
    std::string("ERROR: Please provide filename to convert.\nFor help, type: ") + QUORVEXA_BINARY + " --h\n";

Bytes zlibFile(uint32_t seed = 1) {
    return zlibStream(sampleData(3000, seed));
}

}  // namespace

TEST(Driver, NoArgumentsOrOnlyOptionsAskForAFile) {
    TempDir dir;
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"--zlib"}, {"--zlib", "-x", "--png"}}) {
        const RunResult run = runQuorvexa(args, dir.path);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, banner + noInput);
    }
}

TEST(Driver, HelpAnywhereConvertsNothing) {
    TempDir dir;
    writeFile(dir.file("a.zlib"), zlibFile());
    for (const char* help : {"--help", "--h", "--hx"}) {
        const RunResult run = runQuorvexa({"--zlib", "a.zlib", help}, dir.path);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, banner + usage);
    }
    EXPECT_EQ(listDirectory(dir.path), std::vector<std::string>{"a.zlib"});
}

TEST(Driver, LastOutputOptionWinsAndInexactOptionsAreIgnored) {
    TempDir dir;
    writeFile(dir.file("a"), zlibFile());
    RunResult run = runQuorvexa({"--zlib", "--gzip", "a"}, dir.path);
    EXPECT_EQ(run.err, banner + successLine("a", "a.gz"));
    run = runQuorvexa({"--gzip", "--zlib", "--zip2", "--gzipx", "a"}, dir.path);
    EXPECT_EQ(run.err, banner + successLine("a", "a.zlib"));
    EXPECT_EQ(run.exitCode, 0);
}

TEST(Driver, PngHeaderIsNotReadForOtherOutputs) {
    TempDir dir;
    writeFile(dir.file("a"), zlibFile());
    const RunResult run = runQuorvexa({"--pngx.png", "--zip", "a"}, dir.path);
    EXPECT_EQ(run.err, banner + successLine("a", "a.zip"));
}

TEST(Driver, MissingShortAndUnknownInputs) {
    TempDir dir;
    writeFile(dir.file("one"), {0x78});
    writeFile(dir.file("empty"), {});
    writeFile(dir.file("default.zlib"), concat({{0x78, 0x9C}, deflateRaw(bytesOf("x")), {0, 0, 0, 0}}));
    writeFile(dir.file("zip-end"), {0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0});
    const RunResult run = runQuorvexa({"--zlib", "missing", "one", "empty", "default.zlib", "zip-end"}, dir.path);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, banner + errorLine("missing", "File doesn't exist.") + errorLine("one", "Unknown file format.") +
                           errorLine("empty", "Unknown file format.") + errorLine("default.zlib", "Unknown file format.") +
                           errorLine("zip-end", "Unknown file format."));
    EXPECT_EQ(listDirectory(dir.path), (std::vector<std::string>{"default.zlib", "empty", "one", "zip-end"}));
}

TEST(Driver, SecondRunRefusesToOverwrite) {
    TempDir dir;
    writeFile(dir.file("a.zlib"), zlibFile());
    EXPECT_EQ(runQuorvexa({"--zlib", "a.zlib"}, dir.path).err, banner + successLine("a.zlib", "a.zlib.zlib"));
    writeFile(dir.file("a.zlib"), zlibFile(2));  // different content: the old output must survive
    const Bytes first = readFile(dir.file("a.zlib.zlib"));
    const RunResult run = runQuorvexa({"--zlib", "a.zlib"}, dir.path);
    EXPECT_EQ(run.err, banner + errorLine("a.zlib", "Output file a.zlib.zlib already exists."));
    EXPECT_EQ(readFile(dir.file("a.zlib.zlib")), first);
}

TEST(Driver, AnythingAtTheOutputPathIsLeftAlone) {
    TempDir dir;
    writeFile(dir.file("a.zlib"), zlibFile());
    ASSERT_EQ(symlink("nowhere", dir.file("a.zlib.zlib").c_str()), 0);  // dangling
    RunResult run = runQuorvexa({"--zlib", "a.zlib"}, dir.path);
    EXPECT_EQ(run.err, banner + errorLine("a.zlib", "Output file a.zlib.zlib already exists."));
    EXPECT_FALSE(pathExists(dir.file("nowhere")));
    char target[64] = {};
    ASSERT_GT(readlink(dir.file("a.zlib.zlib").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "nowhere");

    writeFile(dir.file("b.zlib"), zlibFile());
    ASSERT_EQ(mkdir(dir.file("b.zlib.zlib").c_str(), 0755), 0);
    run = runQuorvexa({"--zlib", "b.zlib"}, dir.path);
    EXPECT_EQ(run.err, banner + errorLine("b.zlib", "Output file b.zlib.zlib already exists."));
}

TEST(Driver, UnreadableOutputIsNotTruncated) {
    TempDir dir;
    writeFile(dir.file("a.zlib"), zlibFile());
    writeFile(dir.file("a.zlib.zlib"), bytesOf("precious"));
    ASSERT_EQ(chmod(dir.file("a.zlib.zlib").c_str(), 0), 0);
    RunResult run;
    if (!runQuorvexaUnprivileged({"--zlib", "a.zlib"}, dir.path, run)) GTEST_SKIP() << "no unprivileged user";
    EXPECT_EQ(run.err, banner + errorLine("a.zlib", "Output file a.zlib.zlib already exists."));
    ASSERT_EQ(chmod(dir.file("a.zlib.zlib").c_str(), 0600), 0);
    EXPECT_EQ(readFile(dir.file("a.zlib.zlib")), bytesOf("precious"));
}

TEST(Driver, EachInputIsAnIndependentJob) {
    TempDir dir;
    writeFile(dir.file("a.zlib"), zlibFile(1));
    writeFile(dir.file("bad.zlib"), {0x78, 0xDA, 0x07, 0x00, 0, 0, 0, 0});
    writeFile(dir.file("c.zlib"), concat({{0x78, 0x01}, deflateRaw(bytesOf("c")), {0, 0, 0, 0}}));
    const RunResult run = runQuorvexa({"--zlib", "a.zlib", "bad.zlib", "missing", "c.zlib"}, dir.path);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, banner + successLine("a.zlib", "a.zlib.zlib") + errorLine("bad.zlib", "Inflate failed.") +
                           errorLine("missing", "File doesn't exist.") + successLine("c.zlib", "c.zlib.zlib"));
    // c's trailer was computed for c alone, not carried over from a.
    EXPECT_EQ(readFile(dir.file("c.zlib.zlib")), zlibStream(bytesOf("c")));
}

TEST(Driver, PathsInOtherDirectoriesKeepTheirDirectory) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    writeFile(dir.file("sub/a.zlib"), zlibFile());
    const RunResult run = runQuorvexa({"--zlib", "sub/a.zlib", dir.file("sub/a.zlib") + ""}, dir.path);
    EXPECT_EQ(run.err, banner + successLine("sub/a.zlib", "sub/a.zlib.zlib") +
                           errorLine(dir.file("sub/a.zlib"), "Output file " + dir.file("sub/a.zlib.zlib") + " already exists."));
    EXPECT_EQ(listDirectory(dir.file("sub")), (std::vector<std::string>{"a.zlib", "a.zlib.zlib"}));
}

TEST(Driver, StoredNameIsThePathUpToItsLastDot) {
    const auto name = [](const char* path) { return textOf(storedNameFromPath(path)); };
    EXPECT_EQ(name("dir/a.txt.gz"), "dir/a.txt");
    EXPECT_EQ(name(".hidden.gz"), ".hidden");
    EXPECT_EQ(name(".gz"), ".gz");
    EXPECT_EQ(name("noext"), "noext");
    EXPECT_EQ(name("dir.d/file"), "dir");  // the last dot wins, even inside a directory name
    EXPECT_EQ(name(""), "");
}

TEST(Driver, OutputPathAppendsTheExtension) {
    EXPECT_EQ(outputPathFor("dir/a.zip", FormatCode::Gzip), "dir/a.zip.gz");
    EXPECT_EQ(outputPathFor("a", FormatCode::GzipWithName), "a.gz");
    EXPECT_EQ(outputPathFor("a", FormatCode::Png), "a.png");
    EXPECT_EQ(outputPathFor("a", FormatCode::Zip), "a.zip");
    EXPECT_EQ(outputPathFor("a", FormatCode::Zlib), "a.zlib");
}
