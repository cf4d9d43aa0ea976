#include <algorithm>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

#include "io/output_file.h"
#include "io/standard_streams.h"
#include "io/utf16_windows.h"

namespace {

// Bytes given to one WriteFile call, which counts in 32 bits.
constexpr uint64_t maxPiece = uint64_t{1} << 30;
constexpr int maxNameAttempts = 100;

// The temporary file a console event must remove, and the lock that keeps its removal from
// crossing a commit: Windows runs console control handlers on a thread of their own.
SRWLOCK pendingLock = SRWLOCK_INIT;
wchar_t pendingTempPath[32768];  // the longest path Windows knows
bool pendingTempPathSet = false;
bool pendingDeleteOnClose = false;  // whether the file system took the delete disposition

// The delete disposition makes the system remove the temporary file when its last handle
// closes, so a process that is killed outright, or crashes, leaves nothing behind either.
bool setDeleteOnClose(HANDLE handle, bool remove) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

BOOL WINAPI removeTempOnConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: break;
    default: return FALSE;
    }
    // Held until the process ends: a commit that hasn't begun never begins, one under way ends
    // first. The file is opened with FILE_SHARE_DELETE, so it can be removed while written.
    AcquireSRWLockExclusive(&pendingLock);
    if (pendingTempPathSet) DeleteFileW(pendingTempPath);
    // Ended here and now, as a signal ends the process on POSIX. The default handler's ExitProcess
    // would first stop the other threads wherever they are, then run the C runtime's exit code,
    // which waits for locks (the heap's, a stream's, this one) such a thread may have held.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

// Called with the lock held.
void setPendingTempPath(const std::wstring& path) {
    pendingTempPathSet = path.size() < sizeof pendingTempPath / sizeof pendingTempPath[0];
    if (pendingTempPathSet) std::wmemcpy(pendingTempPath, path.c_str(), path.size() + 1);
}

// The output's folder as a prefix to put a file name after: up to the last separator, or the
// drive of a drive-relative path ("C:name"); empty for a name in the current folder.
std::string folderPrefixOf(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    if (separator != std::string::npos) return path.substr(0, separator + 1);
    if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
    return std::string();
}

std::string hexDigits(uint32_t value) {
    char digits[9];
    for (int i = 7; i >= 0; --i, value >>= 4) digits[i] = "0123456789abcdef"[value & 15];
    digits[8] = '\0';
    return digits;
}

// A name nobody else is likely to pick, from the process id, the time and a counter, tried until
// one is free; never longer than the output's own name (longest), so that an output whose path
// fits as named (MAX_PATH) fits while it is written. The digits that vary most come first.
std::string tempName(int attempt, size_t longest) {
    static uint32_t counter = 0;
    const uint32_t seed = GetCurrentProcessId() * 2654435761u ^ static_cast<uint32_t>(GetTickCount64());
    const uint32_t mixed = (seed + ++counter + static_cast<uint32_t>(attempt)) * 2654435761u;
    std::string name(1, '~');
    name += hexDigits(mixed);
    name += hexDigits(seed);
    name.resize(std::min(name.size(), std::max<size_t>(longest, 4)));
    return name;
}

ResultCode createNamed(const std::string& folderPrefix, size_t longest, OutputFile& output, std::wstring& wideTempPath) {
    for (int attempt = 0; attempt < maxNameAttempts; ++attempt) {
        std::string path = folderPrefix + tempName(attempt, longest);
        if (!widenUtf8(path, wideTempPath)) return ResultCode::OutputNotCreated;
        // CREATE_NEW never opens what exists. DELETE access is what the delete disposition needs;
        // FILE_SHARE_DELETE lets the console handler remove the file while it is being written.
        output.handle = CreateFileW(wideTempPath.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output.handle != INVALID_HANDLE_VALUE) {
            output.tempPath = std::move(path);  // a copy could fail to allocate and leave the file behind
            return ResultCode::Success;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    output.handle = invalidNativeFile;
    return ResultCode::OutputNotCreated;
}

void closeAndDiscard(OutputFile& output) {
    if (output.handle == invalidNativeFile) return;
    AcquireSRWLockExclusive(&pendingLock);
    CloseHandle(output.handle);  // the delete disposition removes the file here
    output.handle = invalidNativeFile;
    std::wstring widePath;
    if (widenUtf8(output.tempPath, widePath)) DeleteFileW(widePath.c_str());  // in case it couldn't be set
    output.tempPath.clear();
    pendingTempPathSet = false;
    pendingDeleteOnClose = false;
    ReleaseSRWLockExclusive(&pendingLock);
}

ResultCode resultOfFailedMove(DWORD error) {
    switch (error) {
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return ResultCode::OutputExists;
    case ERROR_FILENAME_EXCED_RANGE: return ResultCode::OutputNotCreated;
    default: return ResultCode::WriteFailed;
    }
}

// A scanner or indexer that opened the file as it was closed can hold it for a moment: the
// rename is tried again for a while before the failure counts.
bool moveIntoPlace(const std::wstring& from, const std::wstring& to, DWORD flags) {
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(), flags)) return true;
        const DWORD error = GetLastError();
        if (attempt == 20 || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)) return false;
        Sleep(25);
    }
}

// The input's modification time, and the data on the disk; false when the flush failed.
bool stampAndFlush(const OutputFile& output) {
    if (output.stamp) {
        const uint64_t ticks = static_cast<uint64_t>(output.stamp->modifiedSeconds + 11644473600) * 10000000 +
                               output.stamp->modifiedNanoseconds / 100;
        FILETIME modified{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        SetFileTime(output.handle, nullptr, nullptr, &modified);
    }
    return !output.flushToDisk || FlushFileBuffers(output.handle) != 0;
}

bool isWildcardFree(const std::wstring& path) {
    return path.find_first_of(L"*?") == std::wstring::npos;
}

// ---- standard output, through a staging file that has no name to remove ----

ResultCode commitToStandardOutput(OutputFile& output) {
    const ResultCode result = copyToStandardOutput(output.handle);
    CloseHandle(output.handle);  // the delete disposition removes the staging file here
    output.handle = invalidNativeFile;
    return result;
}

}  // namespace

OutputFile::~OutputFile() {
    closeAndDiscard(*this);
}

void installOutputCleanupHandlers() {
    // Windows has no file-size signal: a write past a limit simply fails.
    SetConsoleCtrlHandler(removeTempOnConsoleEvent, TRUE);
}

// Console events run on a thread of their own, and the lock keeps them from crossing a commit.
CleanupSignalsHeld::CleanupSignalsHeld() : saved{} {}
CleanupSignalsHeld::~CleanupSignalsHeld() = default;

ResultCode checkOutputPathFree(const std::string& path) {
    std::wstring widePath;
    if (!widenUtf8(path, widePath)) return ResultCode::OutputNotCreated;
    // NTFS holds at most 255 UTF-16 units in a name; a longer one can't be created.
    const size_t separator = widePath.find_last_of(L"\\/");
    if (widePath.size() - (separator == std::wstring::npos ? 0 : separator + 1) > 255) return ResultCode::OutputNotCreated;
    // Attributes of a link are its own, so a dangling symbolic link or junction counts too.
    if (GetFileAttributesW(widePath.c_str()) != INVALID_FILE_ATTRIBUTES) return ResultCode::OutputExists;
    const DWORD error = GetLastError();
    if (error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_INVALID_NAME) return ResultCode::OutputNotCreated;
    if (error == ERROR_PATH_NOT_FOUND || !isWildcardFree(widePath)) return ResultCode::Success;
    // A file in use by the system, one whose attributes may not be read, and (under Wine) a
    // dangling POSIX symbolic link still have a directory entry: ask the directory too.
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW(widePath.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return ResultCode::Success;
    FindClose(search);
    return ResultCode::OutputExists;
}

ResultCode checkOutputPathReplaceable(const std::string& path) {
    std::wstring widePath;
    if (!widenUtf8(path, widePath)) return ResultCode::OutputNotCreated;
    const DWORD attributes = GetFileAttributesW(widePath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const ResultCode result = checkOutputPathFree(path);
        return result == ResultCode::OutputExists ? ResultCode::Success : result;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ResultCode::OutputExists : ResultCode::Success;
}

ResultCode createOutputFile(const std::string& path, OutputFile& output, OutputTarget target) {
    output.finalPath = path;
    output.target = target;
    if (target == OutputTarget::StandardOutput) {
        output.handle = createStagingFile();
        return output.handle != invalidNativeFile ? ResultCode::Success : ResultCode::OutputNotCreated;
    }
    std::wstring wideTempPath;
    // Under the lock, so that a console event can't fall between creating the file and noting it.
    AcquireSRWLockExclusive(&pendingLock);
    const std::string folderPrefix = folderPrefixOf(path);
    std::wstring wideName;
    const size_t longest = widenUtf8(path.substr(folderPrefix.size()), wideName) ? wideName.size() : 0;
    const ResultCode result = createNamed(folderPrefix, longest, output, wideTempPath);
    if (!failed(result)) {
        setPendingTempPath(wideTempPath);
        // Where the file system has no delete disposition, failures and the handler still remove it.
        pendingDeleteOnClose = setDeleteOnClose(output.handle, true);
    }
    ReleaseSRWLockExclusive(&pendingLock);
    return result;
}

ResultCode writeBytes(OutputFile& output, const uint8_t* data, uint64_t count) {
    while (count > 0) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min(count, maxPiece));
        if (!WriteFile(output.handle, data, piece, &written, nullptr) || written == 0) return ResultCode::WriteFailed;
        data += written;
        count -= written;
        output.bytesWritten += written;
    }
    return ResultCode::Success;
}

ResultCode seekOutput(OutputFile& output, uint64_t offset) {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(output.handle, position, nullptr, FILE_BEGIN) ? ResultCode::Success : ResultCode::WriteFailed;
}

ResultCode endOutputHere(OutputFile& output) {
    return SetEndOfFile(output.handle) ? ResultCode::Success : ResultCode::WriteFailed;
}

ResultCode copyFromInput(OutputFile& output, InputFile& input, uint64_t offset, uint64_t count) {
    if (!fileHolds(input, offset, count)) return ResultCode::InputTruncated;
    return copyThroughBuffer(output, input, offset, count);
}

void startFlushingOutput(OutputFile&) {}  // Windows has no request that doesn't wait

ResultCode flushOutputFile(OutputFile& output) {
    return !output.flushToDisk || FlushFileBuffers(output.handle) != 0 ? ResultCode::Success : ResultCode::WriteFailed;
}

ResultCode commitOutputFile(OutputFile& output) {
    if (output.target == OutputTarget::StandardOutput) return commitToStandardOutput(output);
    std::wstring wideTempPath;
    std::wstring wideFinalPath;
    if (!widenUtf8(output.tempPath, wideTempPath) || !widenUtf8(output.finalPath, wideFinalPath)) {
        closeAndDiscard(output);
        return ResultCode::OutputNotCreated;
    }
    // Under the lock, so that a console event either comes before all of this (and removes the
    // file) or after it.
    AcquireSRWLockExclusive(&pendingLock);
    const bool flushed = stampAndFlush(output);
    const bool kept = flushed && (!pendingDeleteOnClose || setDeleteOnClose(output.handle, false));
    const bool closed = CloseHandle(output.handle) != 0;
    output.handle = invalidNativeFile;
    ResultCode result = ResultCode::WriteFailed;
    if (kept && closed) {
        // Without MOVEFILE_REPLACE_EXISTING, unless asked to replace: a name taken in the meantime
        // is never replaced. With it, a file or a link is replaced itself; a directory never is.
        // Write-through: the rename is on the disk when the call returns.
        const DWORD flags = (output.target == OutputTarget::ReplacedFile ? MOVEFILE_REPLACE_EXISTING : 0) |
                            (output.flushToDisk ? MOVEFILE_WRITE_THROUGH : 0);
        result = moveIntoPlace(wideTempPath, wideFinalPath, flags) ? ResultCode::Success : resultOfFailedMove(GetLastError());
    }
    if (failed(result)) DeleteFileW(wideTempPath.c_str());
    output.tempPath.clear();
    pendingTempPathSet = false;
    pendingDeleteOnClose = false;
    ReleaseSRWLockExclusive(&pendingLock);
    return result;
}
