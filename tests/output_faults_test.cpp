// Failing disks and interrupted runs: no partial file, no stray temporary file, ever.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/convert_file.h"
#include "support/test_support.h"

namespace {

// A disk that accepts a little and then reports itself full.
ssize_t writeThenFail(int fd, const void* data, size_t count) {
    static thread_local size_t budget = 0;
    if (fd < 0) {  // reset hook
        budget = count;
        return 0;
    }
    if (budget == 0) {
        errno = ENOSPC;
        return -1;
    }
    const size_t accepted = count < budget ? count : budget;
    budget -= accepted;
    return write(fd, data, accepted);
}

void allowBytes(size_t count) {
    writeThenFail(-1, nullptr, count);
}

}  // namespace

TEST(OutputFaults, WriteFailureGivesCode18AndNoFile) {
    TempDir dir;
    const Bytes data = sampleData(100000);
    writeFile(dir.file("a.zlib"), concat({{0x78, 0xDA}, deflateRaw(data), {0, 0, 0, 0}}));
    const std::string input = dir.file("a.zlib");
    DriverSettings settings;
    settings.outputFormat = FormatCode::Zlib;
    settings.writeFunction = writeThenFail;
    for (size_t allowed : {size_t{0}, size_t{1}, size_t{2}, size_t{1000}}) {
        allowBytes(allowed);
        ConversionJob job;
        EXPECT_EQ(convertFile(input.c_str(), settings, job), ResultCode::WriteFailed) << allowed;
        EXPECT_EQ(listDirectory(dir.path), std::vector<std::string>{"a.zlib"});
    }
    ConversionJob job;
    convertFile(input.c_str(), settings, job);
    EXPECT_EQ(resultMessage(ResultCode::WriteFailed, job), "Couldn't write output file " + input + ".zlib.\n");
}

TEST(OutputFaults, FileSizeLimitOnARealDiskGivesCode18AndNoFile) {
    TempDir dir;
    writeFile(dir.file("a.zlib"), zlibStream(sampleData(200000)));
    // The limit makes the kernel refuse writes past 4 KiB; SIGXFSZ is ignored so write fails instead.
    const RunResult run = runShell("cd " + dir.path + " && trap '' XFSZ && ulimit -f 8 && exec " + QUORVEXA_BINARY +
                                   " --zlib a.zlib");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, banner + "a.zlib - ERROR: Couldn't write output file a.zlib.zlib.\n");
    EXPECT_EQ(listDirectory(dir.path), std::vector<std::string>{"a.zlib"});
}

TEST(OutputFaults, ReadOnlyDirectoryGivesCode15) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("ro").c_str(), 0755), 0);
    writeFile(dir.file("ro/a.zlib"), zlibStream(bytesOf("x")));
    ASSERT_EQ(chmod(dir.file("ro").c_str(), 0555), 0);
    RunResult run;
    if (!runQuorvexaUnprivileged({"--zlib", "ro/a.zlib"}, dir.path, run)) GTEST_SKIP() << "no unprivileged user";
    EXPECT_EQ(run.err, banner + "ro/a.zlib - ERROR: Couldn't open output file ro/a.zlib.zlib for writting.\n");
    EXPECT_EQ(listDirectory(dir.file("ro")), std::vector<std::string>{"a.zlib"});
}

// Interrupts a large conversion at spread-out moments. Whatever the timing, the folder holds
// the input and either nothing else or the complete output.
TEST(OutputFaults, InterruptedRunsLeaveNoPartialOrTemporaryFile) {
    TempDir dir;
    Bytes data = sampleData(1 << 20, 9);
    for (int copy = 0; copy < 4; ++copy) data.insert(data.end(), data.begin(), data.end());  // 16 MiB
    const Bytes stream = deflateRaw(data, 1);
    writeFile(dir.file("big.zlib"), concat({{0x78, 0xDA}, stream, {0, 0, 0, 0}}));
    const uint32_t adler = adler32Of(data);
    const Bytes expected =
        concat({{0x78, 0xDA}, stream, {uint8_t(adler >> 24), uint8_t(adler >> 16), uint8_t(adler >> 8), uint8_t(adler)}});
    int sawComplete = 0, sawNothing = 0;
    for (int attempt = 0; attempt < 12; ++attempt) {
        const pid_t child = fork();
        if (child == 0) {
            if (chdir(dir.path.c_str()) != 0) _exit(126);
            const int devNull = open("/dev/null", O_WRONLY);
            dup2(devNull, 2);
            execl(QUORVEXA_BINARY, QUORVEXA_BINARY, "--zlib", "big.zlib", static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(attempt * 15));
        kill(child, attempt % 2 ? SIGTERM : SIGINT);
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
    EXPECT_EQ(sawComplete + sawNothing, 12);
    RecordProperty("complete", sawComplete);
    RecordProperty("nothing", sawNothing);
}

TEST(OutputFaults, FullFilesystemGivesCode18AndFreesTheSpace) {
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
    writeFile(mountPoint + "/a.zlib", zlibStream(noise));
    const RunResult before = runShell("df --output=used " + mountPoint + " | tail -n 1");
    const RunResult run = runQuorvexa({"--zlib", "a.zlib"}, mountPoint);
    const RunResult after = runShell("df --output=used " + mountPoint + " | tail -n 1");
    const std::vector<std::string> names = listDirectory(mountPoint);
    runShell("umount " + mountPoint);
    EXPECT_EQ(run.err, banner + "a.zlib - ERROR: Couldn't write output file a.zlib.zlib.\n");
    EXPECT_EQ(names, std::vector<std::string>{"a.zlib"});
    EXPECT_EQ(before.out, after.out);
}

TEST(OutputFaults, UnreadableInputsGiveCode16) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
    RunResult run = runQuorvexa({"--zlib", "folder"}, dir.path);
    EXPECT_EQ(run.err, banner + "folder - ERROR: Input file is truncated or unreadable.\n");
    // Reading the start of a process's own memory fails with an I/O error.
    run = runQuorvexa({"--zlib", "/proc/self/mem"}, dir.path);
    EXPECT_EQ(run.err, banner + "/proc/self/mem - ERROR: Input file is truncated or unreadable.\n");
    EXPECT_EQ(listDirectory(dir.path), std::vector<std::string>{"folder"});
}
