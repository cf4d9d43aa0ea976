#include "support/test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

std::string textOf(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
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

bool pathExists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t count;
    while ((count = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(count));
    return text;
}

// Runs argv with stdout and stderr captured through files (no pipe deadlocks).
RunResult runProcess(const std::vector<std::string>& argv, const std::string& workingDir) {
    TempDir capture;
    const std::string outPath = capture.file("out"), errPath = capture.file("err");
    const pid_t child = fork();
    if (child == 0) {
        const int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int nullFd = open("/dev/null", O_RDONLY);
        dup2(nullFd, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
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
    RunResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const int outFd = open(outPath.c_str(), O_RDONLY), errFd = open(errPath.c_str(), O_RDONLY);
    result.out = drain(outFd);
    result.err = drain(errFd);
    close(outFd);
    close(errFd);
    return result;
}

// QUORVEXA_TEST_WRAPPER, when set, is a command (split at spaces) that every run of the
// program goes through: make memcheck puts valgrind there.
std::vector<std::string> wrapperCommand() {
    std::vector<std::string> words;
    const char* wrapper = std::getenv("QUORVEXA_TEST_WRAPPER");
    std::string word;
    for (const char* c = wrapper ? wrapper : ""; *c; ++c) {
        if (*c != ' ') {
            word += *c;
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

}  // namespace

RunResult runQuorvexa(const std::vector<std::string>& arguments, const std::string& workingDir) {
    std::vector<std::string> argv = wrapperCommand();
    argv.push_back(QUORVEXA_BINARY);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProcess(argv, workingDir);
}

bool runQuorvexaUnprivileged(const std::vector<std::string>& arguments, const std::string& workingDir,
                             RunResult& result) {
    if (geteuid() != 0) {
        result = runQuorvexa(arguments, workingDir);
        return true;
    }
    const std::vector<std::string> asNobody = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    if (chmod(workingDir.c_str(), 0755) != 0) return false;
    std::vector<std::string> probe = asNobody;
    probe.insert(probe.end(), {"test", "-x", QUORVEXA_BINARY});
    if (runProcess(probe, workingDir).exitCode != 0) return false;
    std::vector<std::string> argv = asNobody;
    for (const std::string& word : wrapperCommand()) argv.push_back(word);
    argv.push_back(QUORVEXA_BINARY);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    result = runProcess(argv, workingDir);
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

Bytes deflateRaw(const Bytes& data, int level) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflateInit2");
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

Bytes zlibStream(const Bytes& data) {
    return concat({{0x78, 0xDA}, deflateRaw(data), be32(adler32Of(data))});
}

Bytes sampleData(size_t size, uint32_t seed) {
    static const char* words[] = {"deflate ", "stream ", "container ", "quorvexa ", "zip ", "png\n", "gzip ", "zlib "};
    Bytes data;
    data.reserve(size);
    uint32_t state = seed * 2654435761u + 1;
    while (data.size() < size) {
        state = state * 1103515245u + 12345u;
        const std::string word = words[(state >> 16) % 8];
        for (char c : word) {
            if (data.size() == size) break;
            data.push_back(static_cast<uint8_t>(c));
        }
        if ((state >> 8) % 7 == 0 && data.size() < size) data.push_back(static_cast<uint8_t>(state >> 24));
    }
    return data;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

void appendLe(Bytes& out, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint64_t loadLe(const Bytes& bytes, size_t offset, int width) {
    uint64_t value = 0;
    for (int i = width; i-- > 0;) value = (value << 8) | bytes.at(offset + static_cast<size_t>(i));
    return value;
}

Bytes le16(uint16_t value) {
    Bytes out;
    appendLe(out, value, 2);
    return out;
}

Bytes le32(uint32_t value) {
    Bytes out;
    appendLe(out, value, 4);
    return out;
}

Bytes le64(uint64_t value) {
    Bytes out;
    appendLe(out, value, 8);
    return out;
}

Bytes be32(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value)};
}

Bytes pngChunk(const std::string& type, const Bytes& data) {
    const Bytes typed = concat({bytesOf(type), data});
    return concat({be32(static_cast<uint32_t>(data.size())), typed, be32(crc32Of(typed))});
}

std::string successLine(const std::string& input, const std::string& output) {
    return input + " - SUCCESS: Saved as " + output + ".\n";
}

std::string errorLine(const std::string& input, const std::string& message) {
    return input + " - ERROR: " + message + "\n";
}
