#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/standard_streams.h"

namespace {

constexpr size_t copyBufferSize = 256 * 1024;

std::string stagingFolder() {
    const char* folder = std::getenv("TMPDIR");
    return folder && *folder ? folder : "/tmp";
}

bool writeAll(int handle, const uint8_t* data, size_t count) {
    while (count > 0) {
        const ssize_t written = write(handle, data, count);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

// A named file, unlinked at once; signals wait meanwhile, so that none can leave the name behind.
int createUnlinked(const std::string& folder) {
    std::string name = folder + "/.quorvexa-XXXXXX";
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    const int handle = mkostemp(name.data(), O_CLOEXEC);
    if (handle >= 0) unlink(name.c_str());
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return handle;
}

// A read of standard input that waits where the caller left it non-blocking.
ssize_t readStandardInput(uint8_t* destination, size_t count) {
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, destination, count);
        if (got >= 0 || (errno != EINTR && errno != EAGAIN)) return got;
        pollfd ready{STDIN_FILENO, POLLIN, 0};
        if (errno == EAGAIN) poll(&ready, 1, -1);
    }
}

}  // namespace

bool standardStreamIsTerminal(StandardStream stream) {
    return isatty(stream == StandardStream::Input ? STDIN_FILENO : STDOUT_FILENO) == 1;
}

NativeFile createStagingFile() {
    const std::string folder = stagingFolder();
#ifdef O_TMPFILE
    const int handle = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    // Only a file system without unnamed files gets a named one instead.
    if (handle >= 0 || !(errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) return handle;
#endif
    return createUnlinked(folder);
}

ResultCode copyStandardInput(InputFile& file) {
    file.handle = createStagingFile();
    if (file.handle < 0) return ResultCode::OutputNotCreated;
    std::vector<uint8_t> buffer(copyBufferSize);
    for (;;) {
        const ssize_t got = readStandardInput(buffer.data(), buffer.size());
        if (got < 0) return ResultCode::InputTruncated;
        if (got == 0) return ResultCode::Success;
        if (!writeAll(file.handle, buffer.data(), static_cast<size_t>(got))) return ResultCode::WriteFailed;
        file.size += static_cast<uint64_t>(got);
    }
}

ResultCode copyToStandardOutput(NativeFile staged) {
    struct stat status {};
    if (fstat(staged, &status) != 0) return ResultCode::WriteFailed;
    std::vector<uint8_t> buffer(copyBufferSize);
    for (off_t offset = 0; offset < status.st_size;) {
        const ssize_t got = pread(staged, buffer.data(), buffer.size(), offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || !writeAll(STDOUT_FILENO, buffer.data(), static_cast<size_t>(got))) return ResultCode::WriteFailed;
        offset += got;
    }
    return ResultCode::Success;
}

NativeFile duplicateNativeFile(NativeFile file) {
    return fcntl(file, F_DUPFD_CLOEXEC, 0);
}
