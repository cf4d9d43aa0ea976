#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/input_file.h"

static_assert(sizeof(off_t) == 8, "offsets past 2 GiB need a 64-bit off_t (_FILE_OFFSET_BITS=64)");

InputFile::~InputFile() {
    if (handle >= 0) close(handle);
}

ResultCode openInputFile(const std::string& path, InputFile& file) {
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below anyway.
    file.handle = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // Nothing there is "missing"; a file that is there but can't be opened (permissions, an I/O
    // error) is unreadable.
    if (file.handle < 0) return errno == ENOENT || errno == ENOTDIR ? ResultCode::InputMissing : ResultCode::InputTruncated;
    struct stat status {};
    if (fstat(file.handle, &status) != 0 || !S_ISREG(status.st_mode)) return ResultCode::InputTruncated;
    file.size = static_cast<uint64_t>(status.st_size);
    file.stamp = FileStamp{static_cast<uint32_t>(status.st_mode & 0777), static_cast<int64_t>(status.st_mtim.tv_sec),
                           static_cast<uint32_t>(status.st_mtim.tv_nsec)};
    file.identity = FileIdentity{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
    return ResultCode::Success;
}

std::optional<FileIdentity> fileIdentityAt(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return std::nullopt;
    return FileIdentity{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
}

ResultCode readUpTo(InputFile& file, uint64_t offset, uint8_t* destination, size_t count, size_t& got) {
    got = 0;
    while (got < count) {
        const ssize_t read = pread(file.handle, destination + got, count - got, static_cast<off_t>(offset + got));
        if (read < 0 && errno == EINTR) continue;
        if (read < 0) return ResultCode::InputTruncated;
        if (read == 0) break;
        got += static_cast<size_t>(read);
    }
    return ResultCode::Success;
}
