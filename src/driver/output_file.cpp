#include "driver/output_file.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The named temporary file a signal handler must remove; empty when there is none.
// A plain buffer, because the handler may only call async-signal-safe functions.
char pendingTempPath[4096];
volatile sig_atomic_t pendingTempPathSet = 0;

void removeTempOnSignal(int signalNumber) {
    if (pendingTempPathSet) unlink(pendingTempPath);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void setPendingTempPath(const std::string& path) {
    pendingTempPathSet = 0;
    if (path.empty() || path.size() >= sizeof pendingTempPath) return;
    std::memcpy(pendingTempPath, path.c_str(), path.size() + 1);
    pendingTempPathSet = 1;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// An unnamed file can only be linked through /proc, or by a process allowed AT_EMPTY_PATH.
bool canLinkUnnamedFiles() {
#ifdef O_TMPFILE
    return access("/proc/self/fd", X_OK) == 0 || geteuid() == 0;
#else
    return false;
#endif
}

mode_t defaultFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Sets unsupported when this file system has no unnamed files, so a named one is tried instead.
ResultCode createUnnamed(const std::string& directory, OutputFile& output, bool& unsupported) {
    unsupported = true;
#ifdef O_TMPFILE
    output.fd = open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    unsupported = output.fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL);
    if (output.fd >= 0) return ResultCode::Success;
#else
    (void)directory;
    (void)output;
#endif
    return ResultCode::OutputNotCreated;
}

ResultCode createNamed(const std::string& directory, OutputFile& output) {
    std::string pattern = directory + "/." + baseNameOf(output.finalPath) + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    output.fd = mkstemp(name.data());
    if (output.fd < 0) return ResultCode::OutputNotCreated;
    output.tempPath = name.data();
    setPendingTempPath(output.tempPath);
    fchmod(output.fd, defaultFileMode());
    return ResultCode::Success;
}

int linkUnnamed(int fd, const std::string& finalPath) {
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
    if (linkat(AT_FDCWD, procPath, AT_FDCWD, finalPath.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    if (errno == EEXIST) return -1;
#ifdef AT_EMPTY_PATH
    return linkat(fd, "", AT_FDCWD, finalPath.c_str(), AT_EMPTY_PATH);
#else
    return -1;
#endif
}

void removeTempName(OutputFile& output) {
    if (output.tempPath.empty()) return;
    unlink(output.tempPath.c_str());
    output.tempPath.clear();
    pendingTempPathSet = 0;
}

}  // namespace

OutputFile::~OutputFile() {
    discardOutputFile(*this);
}

void installOutputCleanupHandlers() {
    for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        action.sa_handler = removeTempOnSignal;
        sigemptyset(&action.sa_mask);
        sigaction(signalNumber, &action, nullptr);
    }
}

ResultCode checkOutputPathFree(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) == 0) return ResultCode::OutputExists;
    return ResultCode::Success;
}

ResultCode createOutputFile(const std::string& path, OutputFile& output, bool allowUnnamed) {
    output.finalPath = path;
    const std::string directory = directoryOf(path);
    if (allowUnnamed && canLinkUnnamedFiles()) {
        bool unsupported = false;
        const ResultCode result = createUnnamed(directory, output, unsupported);
        if (!unsupported) return result;
    }
    return createNamed(directory, output);
}

ResultCode commitOutputFile(OutputFile& output) {
    // link() refuses an existing name, so nothing that appeared meanwhile is replaced.
    const int linked = output.tempPath.empty()
                           ? linkUnnamed(output.fd, output.finalPath)
                           : link(output.tempPath.c_str(), output.finalPath.c_str());
    const int linkError = errno;
    const int closed = close(output.fd);
    output.fd = -1;
    removeTempName(output);
    if (linked != 0) return linkError == EEXIST ? ResultCode::OutputExists : ResultCode::WriteFailed;
    if (closed != 0) {
        unlink(output.finalPath.c_str());
        return ResultCode::WriteFailed;
    }
    output.committed = true;
    return ResultCode::Success;
}

void discardOutputFile(OutputFile& output) {
    if (output.fd >= 0) close(output.fd);
    output.fd = -1;
    removeTempName(output);
}
