// Failing disks, read errors and interrupted runs: never a partial file, never a stray temporary
// file, and never a failure reported as success.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/test_support.h"

// The file-size limit kills a process that writes past it, unless the process catches SIGXFSZ.
TEST(PosixFaults, FileSizeLimitIsAFailedWriteNotTheEndOfTheRun) {
    TempDir dir;
    writeFile(dir.file("a.zlib"), zlibOf(sampleData(200000)));
    const RunResult run = runShell("cd " + dir.path + " && ulimit -f 8 && exec " + QUORVEXA_BINARY + " --zlib a.zlib a.zlib 2>&1");
    EXPECT_EQ(run.out, banner + errorLine("a.zlib", "Couldn't write output file a.zlib.zlib.") +
                           errorLine("a.zlib", "Couldn't write output file a.zlib.zlib."));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(listDirectory(dir.path), std::vector<std::string>{"a.zlib"});
}

TEST(PosixFaults, FullFilesystemGivesCode18AndFreesTheSpace) {
    TempDir dir;
    const std::string mountPoint = dir.file("small");
    ASSERT_EQ(mkdir(mountPoint.c_str(), 0755), 0);
    if (geteuid() != 0 || runShell("mount -t tmpfs -o size=256k tmpfs " + mountPoint).exitCode != 0) {
        GTEST_SKIP() << "can't mount a small tmpfs here";
    }
    // 160 KiB of incompressible input leaves no room for its 160 KiB copy.
    Bytes noise(160 * 1024);
    uint32_t state = 7;
    for (uint8_t& byte : noise) byte = static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 24);
    writeFile(mountPoint + "/a.zlib", zlibOf(noise));
    const std::string used = "df --output=used " + mountPoint + " | tail -n 1";
    const RunResult before = runShell(used);
    const RunResult run = runQuorvexa({"--zlib", "a.zlib"}, mountPoint);
    const RunResult after = runShell(used);
    const std::vector<std::string> names = listDirectory(mountPoint);
    runShell("umount " + mountPoint);
    EXPECT_EQ(run.err, banner + errorLine("a.zlib", "Couldn't write output file a.zlib.zlib."));
    EXPECT_EQ(names, std::vector<std::string>{"a.zlib"});
    EXPECT_EQ(before.out, after.out);
}

TEST(PosixFaults, ReadErrorGivesCode16) {
    TempDir dir;
    // Reading the start of a process's own memory fails with an I/O error.
    EXPECT_EQ(runQuorvexa({"/proc/self/mem"}, dir.path).err,
              banner + errorLine("/proc/self/mem", "Input file is truncated or unreadable."));
}

// Interrupts a large conversion at spread-out moments. Whatever the timing, the folder holds the
// input and either nothing else or the complete output.
TEST(PosixFaults, InterruptedRunsLeaveNoPartialOrTemporaryFile) {
    TempDir dir;
    Bytes data = sampleData(1 << 20, 9);
    for (int copy = 0; copy < 4; ++copy) data.insert(data.end(), data.begin(), data.end());  // 16 MiB
    const Bytes input = zlibFile(deflateRaw(data, 1), 0);  // the Adler-32 missing: it is computed
    writeFile(dir.file("big.zlib"), input);
    Bytes expected = input;
    const Bytes adler = be32(adler32Of(data));
    std::copy(adler.begin(), adler.end(), expected.end() - 4);
    int sawComplete = 0, sawNothing = 0;
    for (int attempt = 0; attempt < 12; ++attempt) {
        const pid_t child = fork();
        if (child == 0) {
            if (chdir(dir.path.c_str()) != 0) _exit(126);
            dup2(open("/dev/null", O_WRONLY), 1);
            dup2(open("/dev/null", O_WRONLY), 2);
            setenv("TMPDIR", ".", 1);
            // Also a replacing output (a named temporary file) and one staged for standard output.
            const char* target[] = {"--zlib", "-f", "-c"};
            execl(QUORVEXA_BINARY, QUORVEXA_BINARY, "--zlib", target[attempt % 3], "big.zlib", static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(attempt * 15));
        kill(child, attempt % 2 ? SIGTERM : SIGINT);  // every target meets both
        int status = 0;
        waitpid(child, &status, 0);
        const std::vector<std::string> names = listDirectory(dir.path);
        if (names.size() == 1) {
            ++sawNothing;
        } else {
            ASSERT_EQ(names, (std::vector<std::string>{"big.zlib", "big.zlib.zlib"}));
            ASSERT_EQ(readFile(dir.file("big.zlib.zlib")), expected);
            ++sawComplete;
            unlink(dir.file("big.zlib.zlib").c_str());
        }
    }
    RecordProperty("complete", sawComplete);
    RecordProperty("nothing", sawNothing);
}
