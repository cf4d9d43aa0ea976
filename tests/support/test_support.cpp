#include "support/test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "quorvexa-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // A test may have made parts unreadable; give them back before removing.
    for (auto it = fs::recursive_directory_iterator(path, fs::directory_options::skip_permission_denied, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (!it->is_symlink(ignored)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path, ignored);
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

std::string readAll(const std::string& path) {
    const Bytes bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Runs argv with stdout and stderr captured through files (no pipe deadlocks).
RunResult runProcess(const std::vector<std::string>& argv, const std::string& workingDir) {
    TempDir capture;
    const pid_t child = fork();
    if (child == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(open(capture.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open(capture.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        if (!workingDir.empty() && chdir(workingDir.c_str()) != 0) _exit(126);
        setenv("TZ", "UTC", 1);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readAll(capture.file("out")),
            readAll(capture.file("err"))};
}

// The program's command line: QUORVEXA_TEST_WRAPPER, when set, is a command prefix every run goes
// through (make memcheck puts valgrind there), and prefix goes before that.
std::vector<std::string> programCommand(std::vector<std::string> prefix, const std::vector<std::string>& arguments) {
    std::istringstream wrapper(std::getenv("QUORVEXA_TEST_WRAPPER") ? std::getenv("QUORVEXA_TEST_WRAPPER") : "");
    for (std::string word; wrapper >> word;) prefix.push_back(word);
    prefix.push_back(programPath());
    prefix.insert(prefix.end(), arguments.begin(), arguments.end());
    return prefix;
}

}  // namespace

std::string programPath() {
    const char* program = std::getenv("QUORVEXA_TEST_PROGRAM");
    return program && *program ? program : QUORVEXA_BINARY;
}

RunResult runQuorvexa(const std::vector<std::string>& arguments, const std::string& workingDir) {
    return runProcess(programCommand({}, arguments), workingDir);
}

bool runQuorvexaUnprivileged(const std::vector<std::string>& arguments, const std::string& workingDir,
                             RunResult& result) {
    const std::vector<std::string> asNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    if (geteuid() == 0) {
        std::vector<std::string> probe = asNobody;
        probe.insert(probe.end(), {"test", "-x", QUORVEXA_BINARY});
        if (chmod(workingDir.c_str(), 0755) != 0 || runProcess(probe, workingDir).exitCode != 0) return false;
    }
    result = runProcess(programCommand(geteuid() == 0 ? asNobody : std::vector<std::string>{}, arguments), workingDir);
    return true;
}

RunResult runShell(const std::string& command) {
    return runProcess({"/bin/sh", "-c", command}, "");
}

bool toolAvailable(const std::string& tool) {
    if (tool == "python3-pil") return runShell(python3() + " -c 'import PIL.Image'").exitCode == 0;
    return runShell("command -v " + tool).exitCode == 0;
}

bool toolsRequired() {
    const char* value = std::getenv("QUORVEXA_REQUIRE_TOOLS");
    return value && *value && std::string(value) != "0";
}

std::string python3() {
    return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

Bytes deflateRaw(const Bytes& data, int level, int memLevel, int strategy) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, memLevel, strategy) != Z_OK) throw std::runtime_error("deflateInit2");
    Bytes out(deflateBound(&stream, data.size()) + 16);
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    deflateEnd(&stream);
    if (status != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(stream.total_out);
    return out;
}

uint32_t crc32Of(const Bytes& data) {
    return static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
}

uint32_t adler32Of(const Bytes& data) {
    return static_cast<uint32_t>(adler32(1, data.data(), static_cast<uInt>(data.size())));
}

Bytes sampleData(size_t size, uint32_t seed) {
    static const std::string words[] = {"deflate ", "stream ", "container ", "quorvexa ", "zip ", "png\n", "gzip ", "zlib "};
    Bytes data;
    for (uint32_t state = seed * 2654435761u + 1; data.size() < size;) {
        state = state * 1103515245u + 12345u;
        const std::string& word = words[(state >> 16) % 8];
        data.insert(data.end(), word.begin(), word.end());
        if ((state >> 8) % 7 == 0) data.push_back(static_cast<uint8_t>(state >> 24));
    }
    data.resize(size);
    return data;
}

Bytes noiseData(size_t size, uint32_t seed) {
    Bytes noise(size);
    for (uint8_t& byte : noise) byte = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
    return noise;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes le(uint64_t value, int width) {
    Bytes out;
    for (int i = 0; i < width; ++i) out.push_back(i < 8 ? static_cast<uint8_t>(value >> (8 * i)) : 0);
    return out;
}

uint64_t loadLe(const Bytes& bytes, size_t offset, int width) {
    uint64_t value = 0;
    for (int i = width; i-- > 0;) value = (value << 8) | bytes.at(offset + static_cast<size_t>(i));
    return value;
}

Bytes gzipFile(const Bytes& stream, uint32_t crc32, uint32_t isize, uint32_t mtime, const std::optional<std::string>& name) {
    Bytes header = concat({{0x1F, 0x8B, 8, static_cast<uint8_t>(name ? 8 : 0)}, le(mtime, 4), {0, 3}});
    if (name) header = concat({header, bytesOf(*name), {0}});
    return concat({header, stream, le(crc32, 4), le(isize, 4)});
}

Bytes gzipOf(const Bytes& data, uint32_t mtime) {
    return gzipFile(deflateRaw(data), crc32Of(data), static_cast<uint32_t>(data.size()), mtime);
}

Bytes zlibFile(const Bytes& stream, uint32_t adler32, uint8_t level) {
    Bytes trailer = le(adler32, 4);
    std::reverse(trailer.begin(), trailer.end());  // big-endian
    return concat({{0x78, level}, stream, trailer});
}

Bytes zlibOf(const Bytes& data) {
    return zlibFile(deflateRaw(data), adler32Of(data));
}

std::string successLine(const std::string& input, const std::string& output) {
    return input + " - SUCCESS: Saved as " + output + ".\n";
}

std::string errorLine(const std::string& input, const std::string& message) {
    return input + " - ERROR: " + message + "\n";
}
