// The command line as a user meets it: options, paths, the no-overwrite rule and exit statuses.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "support/test_support.h"

namespace {

const Bytes sample = gzipOf(sampleData(3000));

}  // namespace

TEST(CommandLine, NoInputPathGivesStatus1) {
    TempDir dir;
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{}, {"--zlib"}}) {
        const RunResult run = runQuorvexa(arguments, dir.path);
        // The program's own name follows, as the system gives it.
        EXPECT_EQ(run.err.rfind(banner + "ERROR: Please provide filename to convert.\nFor help, type: ", 0), 0u);
        EXPECT_EQ(run.err.substr(run.err.size() - 5), " --h\n");
        EXPECT_EQ(run.exitCode, 1);
    }
}

TEST(CommandLine, HelpAnywhereConvertsNothing) {
    TempDir dir;
    writeFile(dir.file("a.gz"), sample);
    for (const char* help : {"--help", "-h"}) {
        const RunResult run = runQuorvexa({"a.gz", help}, dir.path);
        EXPECT_EQ(run.err.rfind(banner + "Usage: ", 0), 0u);
        EXPECT_NE(run.err.find(" [OPTIONS] INPUT_FILE\n"), std::string::npos);
        EXPECT_EQ(run.exitCode, 1);
    }
    EXPECT_EQ(listDirectory(dir.path), std::vector<std::string>{"a.gz"});
}

// The version goes to standard output; a typo must not pass silently: each unknown option is named
// once, before the first file, and the last format wins; after --, everything is a path; short
// options bundle and values come joined or as the next argument, as getopt has them; an output name
// too long to create is code 15.
TEST(CommandLine, VersionOptionsPathsAndNames) {
    const std::string longName = std::string(250, 'n') + ".gz";
    const struct {
        std::vector<std::string> arguments;
        std::string out, err;  // err after the banner
        int exitCode;
    } cases[] = {
        {{"--version", "a.gz"}, "quorvexa 1.03\n", "", 0},
        {{"--zlb", "a.gz", "--zlib", "--gzip", "--zlb", "--png", "--verify"}, "",
         "WARNING: Unknown option --zlb was ignored.\nWARNING: Unknown option --png was ignored.\n" + successLine("a.gz", "a.gz.gz"), 0},
        {{"--zlib", "--", "-a.gz", "--gzip"}, "", successLine("-a.gz", "-a.gz.zlib") + errorLine("--gzip", "File doesn't exist."), 2},
        {{"-fxo", "-a.gz", "a.gz"}, "", "WARNING: Unknown option -x was ignored.\n" + successLine("a.gz", "-a.gz"), 0},
        {{"--zlib", "-T1", "-oout", "a.gz", "--entry", "x"}, "", successLine("a.gz", "out"), 0},
        {{"a.gz", "--entry"}, "", "ERROR: Option --entry needs a name.\n", 1},
        {{"-T", "0", "a.gz"}, "", "ERROR: Option -T needs a positive whole number.\n", 1},
        {{longName}, "", errorLine(longName, "Couldn't open output file " + longName + ".zip for writting."), 2},
    };
    for (const auto& [arguments, out, err, exitCode] : cases) {
        TempDir dir;
        writeFile(dir.file("a.gz"), sample);
        writeFile(dir.file("-a.gz"), sample);
        writeFile(dir.file(longName), sample);
        const RunResult run = runQuorvexa(arguments, dir.path);
        EXPECT_EQ(run.out, out) << arguments[0];
        EXPECT_EQ(run.err, banner + err) << arguments[0];
        EXPECT_EQ(run.exitCode, exitCode) << arguments[0];
    }
}

// `quorvexa --gzip a.zip && rm a.zip` must never delete data: a failed file fails the run.
TEST(CommandLine, StatusIs2WhenAnyFileFailedAndEachFileIsIndependent) {
    TempDir dir;
    writeFile(dir.file("named.gz"), gzipFile(deflateRaw(bytesOf("x")), crc32Of(bytesOf("x")), 1, 1000, "kept"));
    writeFile(dir.file("plain.gz"), concat({sample, bytesOf("junk")}));
    const RunResult run = runQuorvexa({"--gzipname", "named.gz", "missing.gz", "plain.gz"}, dir.path);
    EXPECT_EQ(run.err, banner + successLine("named.gz", "named.gz.gz") + errorLine("missing.gz", "File doesn't exist.") +
                           "plain.gz - WARNING: 4 bytes after the end of the stream were ignored.\n" + successLine("plain.gz", "plain.gz.gz"));
    EXPECT_EQ(run.exitCode, 2);  // not 3: a failure outweighs a file converted with less than it held
    const Bytes second = readFile(dir.file("plain.gz.gz"));
    EXPECT_EQ(Bytes(second.begin() + 10, second.begin() + 16), bytesOf(std::string("plain\0", 6)));
    EXPECT_NE(loadLe(second, 4, 4), 1000u);  // its own (missing) time, not the first file's
}

// Anything at the output path, even a folder, is left as it is.
TEST(NoOverwrite, AnythingAtTheOutputPathGivesCode14) {
    TempDir dir;
    writeFile(dir.file("a.gz"), sample);
    writeFile(dir.file("a.gz.zip"), bytesOf("mine"));
    ASSERT_EQ(mkdir(dir.file("a.gz.gz").c_str(), 0700), 0);
    writeFile(dir.file("bad.gz"), gzipFile(bytesOf("not a stream"), 0, 0));  // found before the stream is inflated
    writeFile(dir.file("bad.gz.zip"), bytesOf("mine"));
    EXPECT_EQ(runQuorvexa({"bad.gz"}, dir.path).err, banner + errorLine("bad.gz", "Output file bad.gz.zip already exists."));
    for (const auto& [format, output] : {std::pair{"--zip", "a.gz.zip"}, {"--gzip", "a.gz.gz"}}) {
        const RunResult run = runQuorvexa({format, "a.gz"}, dir.path);
        EXPECT_EQ(run.err, banner + errorLine("a.gz", std::string("Output file ") + output + " already exists."));
    }
    EXPECT_EQ(readFile(dir.file("a.gz.zip")), bytesOf("mine"));
}

TEST(PosixPermissions, UnwritableFolderGivesCode15AndUnreadableInputCode16) {
    TempDir dir;
    writeFile(dir.file("a.gz"), sample);
    writeFile(dir.file("secret.gz"), sample);
    ASSERT_EQ(chmod(dir.file("secret.gz").c_str(), 0), 0);
    ASSERT_EQ(mkdir(dir.file("ro").c_str(), 0755), 0);
    writeFile(dir.file("ro/b.gz"), sample);
    ASSERT_EQ(chmod(dir.file("ro").c_str(), 0555), 0);
    RunResult run;
    REQUIRE_THAT(runQuorvexaUnprivileged({"secret.gz", "ro/b.gz"}, dir.path, run), "no unprivileged user");
    EXPECT_EQ(run.err, banner + errorLine("secret.gz", "Input file is truncated or unreadable.") +
                           errorLine("ro/b.gz", "Couldn't open output file ro/b.gz.zip for writting."));
}

// As gzip does: a 0600 input never gives a world-readable output, and set-ID bits are never kept.
TEST(PosixPermissions, OutputsKeepTheInputsPermissionBitsAndTime) {
    TempDir dir;
    // Owned by nobody where the tests run as root: the program runs as nobody then.
    ASSERT_EQ(runShell("cd " + dir.path + " && mkdir -m 700 w && echo x | gzip >w/secret.gz && cp w/secret.gz w/tool.gz && { chown -R nobody w;"
                       " chmod 600 w/secret.gz && chmod 4751 w/tool.gz && touch -d @1234567890.0000005 w/secret.gz; }").exitCode, 0);
    RunResult run;
    ASSERT_TRUE(runQuorvexaUnprivileged({"w/secret.gz", "w/tool.gz"}, dir.path, run));
    struct stat secret {}, tool {};
    ASSERT_EQ(stat(dir.file("w/secret.gz.zip").c_str(), &secret) + stat(dir.file("w/tool.gz.zip").c_str(), &tool), 0) << run.err;
    EXPECT_EQ(secret.st_mode & 07777, 0600u);
    EXPECT_EQ(tool.st_mode & 07777, 0751u);
    EXPECT_EQ(secret.st_mtim.tv_sec * 1000000000 + secret.st_mtim.tv_nsec, 1234567890000000500);
}

// A long conversion shows one progress line on a terminal, redrawn in place and erased before the
// result line, and none at all with -q; 8 GiB of zeros take the strict engine long enough.
// (Captured output never shows it: every other test compares standard error exactly.)
TEST(PosixTerminal, ProgressLineIsDrawnInPlaceAndErased) {
    TempDir dir;
    // A full-flushed, non-final block of 64 MiB of zeros, which may be repeated, 128 times, then a final empty one.
    ASSERT_EQ(runShell("cd " + dir.path + " && " + python3() + " -c \"import zlib; c = zlib.compressobj(1, 8, -15); b = c.compress(bytes(64 << 20))"
                       " + c.flush(zlib.Z_FULL_FLUSH); open('big.zlib', 'wb').write(b'\\x78\\xda' + b * 128 + bytes([1, 0, 0, 255, 255]) + bytes(4))\"")
                  .exitCode, 0);
    const RunResult run = runShell("cd " + dir.path + " && script -qfec '" QUORVEXA_BINARY " -q -t ./big.zlib; " QUORVEXA_BINARY " big.zlib' /dev/null");
    EXPECT_EQ(run.out.find("./big.zlib"), std::string::npos) << run.out;  // -q draws none
    const size_t drawn = run.out.rfind("\rbig.zlib - inflating ");
    ASSERT_NE(drawn, std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\r      ", drawn + 1), std::string::npos);
    EXPECT_NE(run.out.find("\rbig.zlib - \x1b[92mSUCCESS: Saved as big.zlib.zip.", drawn + 1), std::string::npos);
}

// A name can't set the terminal's title or forge a line, and each line reaches standard error in
// one write, so that runs side by side (xargs -P) never interleave within it.
TEST(PosixNames, PrintEscapedInOneWritePerLine) {
    REQUIRE_TOOL("strace");
    TempDir dir;
    writeFile(dir.file("e\x1b]0;T\a\n.gz"), sample);
    writeFile(dir.file("in.gz"), sample);
    const std::string shown = "e\\x1B]0;T\\x07\\x0A.gz";
    EXPECT_EQ(runQuorvexa({"e\x1b]0;T\a\n.gz"}, dir.path).err, banner + successLine(shown, shown + ".zip"));
    ASSERT_EQ(runShell("cd " + dir.path + " && ASAN_OPTIONS=detect_leaks=0 strace -f -s 99 -e trace=write -o trace " QUORVEXA_BINARY " in.gz 2>/dev/null").exitCode, 0);
    const Bytes written = readFile(dir.file("trace"));
    const std::string trace(written.begin(), written.end());
    EXPECT_NE(trace.find("write(2, \"in.gz - SUCCESS: Saved as in.gz.zip.\\n\", 37)"), std::string::npos) << trace;
}
