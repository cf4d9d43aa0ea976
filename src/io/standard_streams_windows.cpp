#include <vector>

#include <windows.h>

#include "io/standard_streams.h"

namespace {

constexpr DWORD copyBufferSize = 256 * 1024;

bool writeAll(HANDLE handle, const uint8_t* data, DWORD count) {
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, data, count, &written, nullptr) || written == 0) return false;
        data += written;
        count -= written;
    }
    return true;
}

}  // namespace

bool standardStreamIsTerminal(StandardStream stream) {
    // A console answers GetConsoleMode; NUL, also a character device, doesn't.
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(stream == StandardStream::Input ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE), &mode) != 0;
}

NativeFile createStagingFile() {
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"qvx", 0, name) == 0) return invalidNativeFile;
    // The delete disposition removes the file when its handle closes, even when the process is killed.
    const HANDLE handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) DeleteFileW(name);
    return handle;
}

ResultCode copyStandardInput(InputFile& file) {
    file.handle = createStagingFile();
    if (file.handle == invalidNativeFile) return ResultCode::OutputNotCreated;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::vector<uint8_t> buffer(copyBufferSize);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(input, buffer.data(), copyBufferSize, &got, nullptr)) {
            // The writer closing its end of a pipe is the end of the input.
            return GetLastError() == ERROR_BROKEN_PIPE ? ResultCode::Success : ResultCode::InputTruncated;
        }
        if (got == 0) return ResultCode::Success;
        if (!writeAll(file.handle, buffer.data(), got)) return ResultCode::WriteFailed;
        file.size += got;
    }
}

ResultCode copyToStandardOutput(NativeFile staged) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(staged, &size)) return ResultCode::WriteFailed;
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    std::vector<uint8_t> buffer(copyBufferSize);
    for (uint64_t offset = 0; offset < static_cast<uint64_t>(size.QuadPart);) {
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(offset);
        position.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(staged, buffer.data(), copyBufferSize, &got, &position) || got == 0) return ResultCode::WriteFailed;
        if (!writeAll(output, buffer.data(), got)) return ResultCode::WriteFailed;
        offset += got;
    }
    return ResultCode::Success;
}

NativeFile duplicateNativeFile(NativeFile file) {
    const HANDLE process = GetCurrentProcess();
    HANDLE copy = invalidNativeFile;
    return DuplicateHandle(process, file, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS) ? copy : invalidNativeFile;
}
