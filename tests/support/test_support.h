// Helpers the tests share: temporary folders, files, running the built program and the tools a
// user has, and builders for the containers the program reads.
#pragma once

#include <cstdint>
#include <optional>
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
void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);
std::vector<std::string> listDirectory(const std::string& path);  // sorted, no . and ..

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// The program the end-to-end tests run: the one built beside them, or QUORVEXA_TEST_PROGRAM (make
// test-windows sets it to the Windows build, and QUORVEXA_TEST_WRAPPER to Wine). Tests of a POSIX
// mechanism say "Posix" in their names, and are left out there.
std::string programPath();

// Runs the program with TZ=UTC in workingDir, capturing its output.
RunResult runQuorvexa(const std::vector<std::string>& arguments, const std::string& workingDir);

// The same as an unprivileged user (nobody) when the tests run as root, so that file permissions
// apply to the program. False, with nothing run, where no such user can run the binary.
bool runQuorvexaUnprivileged(const std::vector<std::string>& arguments, const std::string& workingDir,
                             RunResult& result);

RunResult runShell(const std::string& command);

// True when the command is on PATH ("python3-pil": when python3 can import Pillow).
bool toolAvailable(const std::string& tool);
bool toolsRequired();

// A test that can't run here (a tool, a file or a privilege missing) skips, or fails where
// QUORVEXA_REQUIRE_TOOLS is set (make test and CI set it): there a skip would hide a gap.
#define REQUIRE_THAT(condition, why)                  \
    do {                                              \
        if (!(condition)) {                           \
            if (toolsRequired()) FAIL() << why;       \
            GTEST_SKIP() << why;                      \
        }                                             \
    } while (0)
#define REQUIRE_TOOL(tool) REQUIRE_THAT(toolAvailable(tool), (tool) << " missing")

// The python3 that carries Debian's modules (python3-pil), preferred over any other.
std::string python3();

// ---- streams ----

// A small memLevel makes many short blocks; strategy 4 (Z_FIXED) makes fixed-code blocks.
Bytes deflateRaw(const Bytes& data, int level = 9, int memLevel = 9, int strategy = 0);
uint32_t crc32Of(const Bytes& data);
uint32_t adler32Of(const Bytes& data);
Bytes sampleData(size_t size, uint32_t seed = 1);  // deterministic, compresses moderately
Bytes noiseData(size_t size, uint32_t seed = 7);   // deterministic, doesn't compress
Bytes concat(std::initializer_list<Bytes> parts);
Bytes le(uint64_t value, int width);
uint64_t loadLe(const Bytes& bytes, size_t offset, int width);

// ---- containers, built by hand so that every field can be wrong ----

Bytes gzipFile(const Bytes& stream, uint32_t crc32, uint32_t isize, uint32_t mtime = 0,
               const std::optional<std::string>& name = std::nullopt);
Bytes gzipOf(const Bytes& data, uint32_t mtime = 0);  // a valid one-member file
Bytes zlibFile(const Bytes& stream, uint32_t adler32, uint8_t level = 0xDA);
Bytes zlibOf(const Bytes& data);

// The lines the program prints after the banner.
std::string successLine(const std::string& input, const std::string& output);
std::string errorLine(const std::string& input, const std::string& message);
