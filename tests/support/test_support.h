// Helpers the tests share: temporary folders, files, running the built program and the
// tools a user has, and building DEFLATE streams to feed the program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline const std::string banner = "\nQuorvexa v1.03 by Tessivander\n\n";

struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

Bytes bytesOf(const std::string& text);
std::string textOf(const Bytes& bytes);
void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);
bool pathExists(const std::string& path);  // true for dangling symlinks too
std::vector<std::string> listDirectory(const std::string& path);  // sorted, no . and ..

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the built quorvexa with TZ=UTC in workingDir; standard error is captured.
RunResult runQuorvexa(const std::vector<std::string>& arguments, const std::string& workingDir);

// The same as an unprivileged user (nobody) when the tests run as root, so that file
// permissions apply to the program; workingDir is opened up for that user to enter.
// False, with nothing run, where no such user can run the binary.
bool runQuorvexaUnprivileged(const std::vector<std::string>& arguments, const std::string& workingDir,
                             RunResult& result);

// Runs a shell command, capturing standard output and standard error.
RunResult runShell(const std::string& command);

// True when the command is on PATH ("python3-pil": when python3 can import Pillow). Tests that
// need a missing tool skip, unless QUORVEXA_REQUIRE_TOOLS is set (make test sets it, having
// installed them).
bool toolAvailable(const std::string& tool);
bool toolsRequired();

// Skips the test when the tool is missing, or fails it when every tool is required. (Kept
// token for token as in tests/large, which defines it too.)
#define REQUIRE_TOOL(tool)                                         \
    do {                                                           \
        if (!toolAvailable(tool)) {                                \
            if (toolsRequired()) FAIL() << (tool) << " missing";   \
            GTEST_SKIP() << (tool) << " missing";                  \
        }                                                          \
    } while (0)

// The python3 that carries Debian's modules (python3-pil), preferred over any other.
std::string python3();

// DEFLATE streams built with zlib: raw (no header), and a zlib stream with header 78 DA.
Bytes deflateRaw(const Bytes& data, int level = 9);
Bytes zlibStream(const Bytes& data);
uint32_t crc32Of(const Bytes& data);
uint32_t adler32Of(const Bytes& data);

// Deterministic data that compresses moderately, for streams of a chosen size.
Bytes sampleData(size_t size, uint32_t seed = 1);

Bytes concat(std::initializer_list<Bytes> parts);

// Fields for containers built by hand, and reading them back.
Bytes le16(uint16_t value);
Bytes le32(uint32_t value);
Bytes le64(uint64_t value);
Bytes be32(uint32_t value);
void appendLe(Bytes& out, uint64_t value, int width);
uint64_t loadLe(const Bytes& bytes, size_t offset, int width);  // .at(): a short file fails the test, not the run

// A PNG chunk: length, type, data and the CRC-32 of type and data.
Bytes pngChunk(const std::string& type, const Bytes& data);

// The result lines the program prints after the banner; message has no trailing newline.
std::string successLine(const std::string& input, const std::string& output);
std::string errorLine(const std::string& input, const std::string& message);
