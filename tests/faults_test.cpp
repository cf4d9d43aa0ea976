// Failing disks, read errors and interrupted runs: never a partial file, never a stray temporary
// file, and never a failure reported as success.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/test_support.h"

namespace {

// Runs the program in dir under the fault shim (tests/support/fault_shim.c), switched by variables.
RunResult runWithFaults(const std::string& dir, const std::string& switches, const std::string& arguments) {
    return runShell("cd " + dir + " && " + switches + " ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=" QUORVEXA_FAULT_SHIM
                    " exec " QUORVEXA_BINARY " " + arguments + " 2>&1");
}

}  // namespace

TEST(PosixFaults, FullFilesystemGivesCode18AndFreesTheSpace) {
    TempDir dir;
    const std::string mountPoint = dir.file("small");
    ASSERT_EQ(mkdir(mountPoint.c_str(), 0755), 0);
    REQUIRE_THAT(geteuid() == 0 && runShell("mount -t tmpfs -o size=256k tmpfs " + mountPoint).exitCode == 0,
                 "can't mount a small tmpfs here");
    // 160 KiB of incompressible input leaves no room for its 160 KiB copy.
    writeFile(mountPoint + "/a.zlib", zlibOf(noiseData(160 * 1024)));
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

// Interrupts large conversions at spread-out moments, into each output that copies the stream while
// it is checked. Whatever the timing, the folder then holds the input and either nothing else or the
// complete output: never a part of it, never a temporary file.
TEST(PosixFaults, InterruptedRunsLeaveNoPartialOrTemporaryFile) {
    TempDir dir;
    const Bytes data = concat({sampleData(24 << 20, 9), noiseData(2 << 20)});
    writeFile(dir.file("big.gz"), gzipFile(deflateRaw(data, 1), crc32Of(data), static_cast<uint32_t>(data.size()), 1700000000));
    const int signals[] = {SIGINT, SIGTERM};
    for (const std::string format : {"--zip", "--gzip", "--zlib"}) {
        ASSERT_EQ(runQuorvexa({format, "big.gz"}, dir.path).exitCode, 0);
        const std::string output = listDirectory(dir.path).back();
        const Bytes expected = readFile(dir.file(output));
        unlink(dir.file(output).c_str());
        int interrupted = 0;
        for (int attempt = 0; attempt < 10; ++attempt) {
            const pid_t child = fork();
            if (child == 0) {
                if (chdir(dir.path.c_str()) != 0) _exit(126);
                dup2(open("/dev/null", O_WRONLY), 1);
                dup2(open("/dev/null", O_WRONLY), 2);
                setenv("TMPDIR", ".", 1);
                // Also a replacing output (a named temporary file) and one staged for standard output.
                const char* target = attempt % 3 == 0 ? "-f" : attempt % 3 == 1 ? "-c" : "--";
                execl(programPath().c_str(), "quorvexa", format.c_str(), target, "big.gz", static_cast<char*>(nullptr));
                _exit(127);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(attempt * 20));
            kill(child, signals[attempt % 2]);
            waitpid(child, nullptr, 0);
            const std::vector<std::string> names = listDirectory(dir.path);
            if (names.size() == 1) {
                ++interrupted;
                continue;
            }
            ASSERT_EQ(names, (std::vector<std::string>{"big.gz", output})) << format << " attempt " << attempt;
            ASSERT_EQ(readFile(dir.file(output)), expected) << format << " attempt " << attempt;
            unlink(dir.file(output).c_str());
        }
        EXPECT_GT(interrupted, 0) << format << ": every run finished before its interrupt";
    }
}

// FAT and exFAT refuse unnamed files and hard links; a process or cgroup limit, a second thread.
// Either way the output is the same, and no temporary file stays.
TEST(PosixFaults, WithoutHardLinksOrASecondThreadTheOutputIsTheSame) {
    TempDir dir;
    const Bytes input = zlibOf(noiseData(3 << 20));  // copied early, on a second thread
    writeFile(dir.file("a.zlib"), input);
    for (const std::string switches : {"SHIM_NO_LINK=1", "SHIM_NO_THREAD=1"}) {
        EXPECT_EQ(runWithFaults(dir.path, switches, "--zlib a.zlib").out, banner + successLine("a.zlib", "a.zlib.zlib")) << switches;
        EXPECT_EQ(readFile(dir.file("a.zlib.zlib")), input) << switches;  // carried byte for byte
        EXPECT_EQ(listDirectory(dir.path).size(), 2u);
        unlink(dir.file("a.zlib.zlib").c_str());
    }
}

// Another program writes the input between the check and the write (on one thread, and while the
// stream is copied early on the other, as it stands or joined: the byte is in the second member).
// Joined, the second member may be written from the very reads that checked it, before the change:
// then the output is what was checked, and must read back whole.
TEST(PosixFaults, AnInputChangedWhileConvertedGivesNoOutput) {
    TempDir dir;
    for (const auto& [switches, file] : std::vector<std::array<std::string, 2>>{
             {"SHIM_AT=5000 SHIM_FLIP=1", "small.gz"}, {"SHIM_AT=2000000 SHIM_FLIP=1 SHIM_WAIT=1", "big.zlib"},
             {"SHIM_AT=2000000 SHIM_FLIP=1 SHIM_WAIT=1", "two.gz"}}) {
        writeFile(dir.file("small.gz"), gzipOf(sampleData(100000)));
        writeFile(dir.file("big.zlib"), zlibOf(noiseData(3 << 20)));
        writeFile(dir.file("two.gz"), concat({gzipOf(noiseData(1 << 20)), gzipOf(noiseData(3 << 20))}));
        const std::string out = runWithFaults(dir.path, switches, file).out;
        const bool landed = file == "two.gz" && out == banner + successLine(file, "two.gz.zip");
        if (landed) {
            EXPECT_EQ(runShell("unzip -tq " + dir.file("two.gz.zip") + " && rm " + dir.file("two.gz.zip")).exitCode, 0);
        }
        EXPECT_TRUE(landed || out == banner + errorLine(file, "Input file changed while it was converted.")) << switches << out;
        EXPECT_EQ(listDirectory(dir.path), (std::vector<std::string>{"big.zlib", "small.gz", "two.gz"})) << switches;
    }
}

// Signals while a named temporary file is written remove it; one ignored from the start (nohup)
// stays ignored. Where unnamed files can be made, a replacing output (-f) is one too, which even
// SIGKILL can't leave behind. A failed allocation while the checking thread runs is code 2, never an abort.
TEST(PosixFaults, SignalsAndFailedAllocationsCleanUpUnlessIgnoredFromTheStart) {
    TempDir dir;
    writeFile(dir.file("a.gz"), gzipOf(noiseData(1 << 20)));  // long enough to be copied while checked
    for (const int signal : {SIGQUIT, SIGHUP, SIGPIPE}) {
        EXPECT_EQ(runWithFaults(dir.path, "ulimit -c 0; SHIM_NO_LINK=1 SHIM_AT=5000 SHIM_SIGNAL=" + std::to_string(signal), "a.gz").exitCode, 128 + signal);
        EXPECT_EQ(listDirectory(dir.path), std::vector<std::string>{"a.gz"}) << signal;
    }
    // Whichever allocation fails, the run ends in a line of its own: some are survived (a thread fewer),
    // the last ones come as the output is put in place and its line is made.
    int outOfMemory = 0;
    for (int n = 1; n <= 24; ++n) {
        const std::string out = runWithFaults(dir.path, "SHIM_NO_MEMORY=" + std::to_string(n), "-f a.gz").out;
        outOfMemory += out == banner + errorLine("a.gz", "Out of memory.");
        EXPECT_TRUE(out == banner + errorLine("a.gz", "Out of memory.") || out == banner + successLine("a.gz", "a.gz.zip")) << out;
    }
    EXPECT_GT(outOfMemory, 0);
    std::filesystem::remove(dir.file("a.gz.zip"));
    EXPECT_EQ(runWithFaults(dir.path, "SHIM_AT=5000 SHIM_SIGNAL=9", "-f a.gz").exitCode, 128 + SIGKILL);
    EXPECT_EQ(listDirectory(dir.path), std::vector<std::string>{"a.gz"});
    EXPECT_EQ(runWithFaults(dir.path, "trap '' HUP; SHIM_AT=5000 SHIM_SIGNAL=1", "a.gz").out, banner + successLine("a.gz", "a.gz.zip"));
}

// The data reaches the disk before its name, and the name before SUCCESS; --no-sync skips both.
TEST(PosixFaults, TheFileIsFlushedBeforeItIsNamedAndItsFolderAfter) {
    REQUIRE_TOOL("strace");
    TempDir dir;
    writeFile(dir.file("a.gz"), gzipOf(sampleData(3000)));
    EXPECT_EQ(runShell("cd " + dir.path + " && for o in '' '--no-sync --zlib'; do ASAN_OPTIONS=detect_leaks=0 strace -qq -f -o t -e trace=fsync,fdatasync,link,linkat,"
                       "renameat2 " QUORVEXA_BINARY " $o a.gz 2>/dev/null; sed 's/(.*//' t | awk '{printf \"%s \", $2}'; echo; done").out,
              "fsync linkat fsync \nlinkat \n");
}
