#include <algorithm>
#include <string>

#include <windows.h>

#include "io/input_file.h"
#include "io/utf16_windows.h"

namespace {

// Bytes asked of one ReadFile call, which counts in 32 bits.
constexpr size_t maxPiece = size_t{1} << 30;

bool isDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

FileIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& information) {
    return FileIdentity{information.dwVolumeSerialNumber,
                        (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

struct HandleCloser {
    HANDLE handle;
    explicit HandleCloser(HANDLE opened) : handle(opened) {}
    HandleCloser(const HandleCloser&) = delete;
    HandleCloser& operator=(const HandleCloser&) = delete;
    ~HandleCloser() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

}  // namespace

InputFile::~InputFile() {
    if (handle != invalidNativeFile) CloseHandle(handle);
}

ResultCode openInputFile(const std::string& path, InputFile& file) {
    std::wstring widePath;
    if (!widenUtf8(path, widePath)) return ResultCode::InputMissing;
    // Others may go on reading, writing, renaming or deleting it: a reader shouldn't lock a file.
    file.handle = CreateFileW(widePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.handle == INVALID_HANDLE_VALUE) {
        // Nothing there is "missing"; anything else that stands there (a directory, a file this user
        // may not read or another program locks) is unreadable.
        const DWORD error = GetLastError();
        const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME;
        return missing && !isDirectory(widePath) ? ResultCode::InputMissing : ResultCode::InputTruncated;
    }
    // Pipes, consoles and devices are refused before anything is read from them, so nothing waits.
    if (GetFileType(file.handle) != FILE_TYPE_DISK) return ResultCode::InputTruncated;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file.handle, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return ResultCode::InputTruncated;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.handle, &size) || size.QuadPart < 0) return ResultCode::InputTruncated;
    file.size = static_cast<uint64_t>(size.QuadPart);
    // FILETIME counts 100 ns ticks from 1601; Windows keeps no POSIX permission bits.
    const uint64_t ticks = (uint64_t{information.ftLastWriteTime.dwHighDateTime} << 32) | information.ftLastWriteTime.dwLowDateTime;
    file.stamp = FileStamp{};
    file.stamp->modifiedSeconds = static_cast<int64_t>(ticks / 10000000) - 11644473600;
    file.stamp->modifiedNanoseconds = static_cast<uint32_t>(ticks % 10000000) * 100;
    file.stamp->permissions = 0644;  // what an archive says of a file with no Unix mode
    file.identity = identityOf(information);
    return ResultCode::Success;
}

std::optional<FileIdentity> fileIdentityAt(const std::string& path) {
    std::wstring widePath;
    if (!widenUtf8(path, widePath)) return std::nullopt;
    // No access is asked for, only the file's information; a folder opens too, and links are followed.
    const HandleCloser opened{CreateFileW(widePath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    BY_HANDLE_FILE_INFORMATION information{};
    if (opened.handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(opened.handle, &information)) return std::nullopt;
    return identityOf(information);
}

ResultCode readUpTo(InputFile& file, uint64_t offset, uint8_t* destination, size_t count, size_t& got) {
    got = 0;
    while (got < count) {
        const uint64_t at = offset + got;
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(at);
        position.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD read = 0;
        const DWORD asked = static_cast<DWORD>(std::min(count - got, maxPiece));
        if (!ReadFile(file.handle, destination + got, asked, &read, &position)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;  // an offset at or past the end
            return ResultCode::InputTruncated;
        }
        if (read == 0) break;
        got += read;
    }
    return ResultCode::Success;
}
