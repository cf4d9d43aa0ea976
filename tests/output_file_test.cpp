// Both kinds of temporary output file: unnamed where the system allows it, named elsewhere.
#include <gtest/gtest.h>

#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

#include "driver/output_file.h"
#include "support/test_support.h"

namespace {

ResultCode writeAndCommit(const std::string& path, bool allowUnnamed, const Bytes& content) {
    OutputFile output;
    ResultCode result = createOutputFile(path, output, allowUnnamed);
    if (result != ResultCode::Success) return result;
    ByteWriter writer{output.fd, nullptr, 0};
    result = writeBytes(writer, content.data(), content.size());
    return result == ResultCode::Success ? commitOutputFile(output) : result;
}

}  // namespace

TEST(OutputFile, CommitsCompleteFilesAndNeverReplacesAnything) {
    for (const bool allowUnnamed : {true, false}) {
        TempDir dir;
        const size_t descriptors = listDirectory("/proc/self/fd").size();
        const std::string path = dir.file("out");
        EXPECT_EQ(writeAndCommit(path, allowUnnamed, bytesOf("first")), ResultCode::Success);
        EXPECT_EQ(readFile(path), bytesOf("first"));
        // The name is taken between the check and the link: the link refuses it.
        EXPECT_EQ(writeAndCommit(path, allowUnnamed, bytesOf("second")), ResultCode::OutputExists);
        EXPECT_EQ(readFile(path), bytesOf("first"));
        EXPECT_EQ(listDirectory(dir.path), std::vector<std::string>{"out"});
        EXPECT_EQ(listDirectory("/proc/self/fd").size(), descriptors);  // nothing left open
    }
}

TEST(OutputFile, DiscardedFilesLeaveNothing) {
    for (const bool allowUnnamed : {true, false}) {
        TempDir dir;
        {
            OutputFile output;
            ASSERT_EQ(createOutputFile(dir.file("out"), output, allowUnnamed), ResultCode::Success);
            EXPECT_EQ(listDirectory(dir.path).size(), allowUnnamed ? 0u : 1u);
        }
        EXPECT_TRUE(listDirectory(dir.path).empty());
    }
}

// A named temporary file must not outlive an interrupted run either.
TEST(OutputFile, SignalsRemoveANamedTemporaryFile) {
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        TempDir dir;
        const pid_t child = fork();
        if (child == 0) {
            installOutputCleanupHandlers();
            OutputFile output;
            if (createOutputFile(dir.file("out"), output, false) != ResultCode::Success) _exit(2);
            raise(signalNumber);
            _exit(3);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), signalNumber);
        EXPECT_TRUE(listDirectory(dir.path).empty());
    }
}
