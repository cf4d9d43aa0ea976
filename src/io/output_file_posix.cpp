#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif

#include "io/output_file.h"
#include "io/output_folder.h"
#include "io/standard_streams.h"

namespace {

// The named temporary file a signal handler must remove; unset when there is none. A plain
// buffer, because the handler may only call async-signal-safe functions.
char pendingTempPath[4096];
volatile sig_atomic_t pendingTempPathSet = 0;
volatile sig_atomic_t pendingTempFolder = AT_FDCWD;  // the folder the path counts from

// The signals whose default action ends the process, short of a crash.
constexpr int cleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

void removeTempOnSignal(int signalNumber) {
    if (pendingTempPathSet) unlinkat(pendingTempFolder, pendingTempPath, 0);
    raise(signalNumber);  // SA_RESETHAND has restored the default action
}

// The folder an output's paths count from: the working folder, or the folder it was created in.
int folderOf(const OutputFile& output) {
    return output.folder >= 0 ? output.folder : AT_FDCWD;
}

void setPendingTempPath(const OutputFile& output) {
    const std::string& path = output.tempPath;
    pendingTempPathSet = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (path.size() >= sizeof pendingTempPath) return;
    pendingTempFolder = folderOf(output);
    std::memcpy(pendingTempPath, path.c_str(), path.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pendingTempPathSet = 1;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// An unnamed file can only be linked through /proc, or by a process allowed AT_EMPTY_PATH. Asked
// once a run: a collection makes an output per entry.
bool canLinkUnnamedFiles() {
#ifdef O_TMPFILE
    static const bool canLink = access("/proc/self/fd", X_OK) == 0 || geteuid() == 0;
    return canLink;
#else
    return false;
#endif
}

mode_t defaultFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// False when this file system has no unnamed files, so that a named one is tried instead.
bool createUnnamed(const std::string& directory, OutputFile& output) {
#ifdef O_TMPFILE
    output.handle = openat(folderOf(output), directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    return output.handle >= 0 || !(errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL);
#else
    (void)directory;
    (void)output;
    return false;
#endif
}

// A name beside the final one that nobody else is likely to pick, from the process id, the clock
// and a counter (only the thread that commits files asks); tried until one is free.
std::string temporaryNameIn(const std::string& directory) {
    static uint64_t counter = 0;
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const uint64_t clock = static_cast<uint64_t>(now.tv_sec) * 1000000000 + static_cast<uint64_t>(now.tv_nsec);
    const uint64_t mixed = ((static_cast<uint64_t>(getpid()) << 32) ^ clock ^ ++counter) * 0x9E3779B97F4A7C15u;
    char name[32];
    std::snprintf(name, sizeof name, "/.quorvexa-%06llx", static_cast<unsigned long long>(mixed >> 40));
    return directory + name;
}

// Each name is made whole before the file, so that nothing can fail between creating the file and
// noting its name (a failed allocation there would leave it behind).
void createNamed(const std::string& directory, OutputFile& output) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = temporaryNameIn(directory);
        // Held, so that an interrupt can't fall between creating the file and noting its name.
        const CleanupSignalsHeld held;
        output.handle = openat(folderOf(output), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (output.handle >= 0) {
            output.tempPath = std::move(name);
            setPendingTempPath(output);
            return;
        }
        if (errno != EEXIST) return;
    }
}

int linkUnnamed(const OutputFile& output, const std::string& finalPath) {
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", output.handle);
    if (linkat(AT_FDCWD, procPath, folderOf(output), finalPath.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    if (errno == EEXIST) return -1;
#ifdef AT_EMPTY_PATH
    return linkat(output.handle, "", folderOf(output), finalPath.c_str(), AT_EMPTY_PATH);
#else
    return -1;
#endif
}

// Links a finished unnamed file to a temporary name, the last step before it is renamed over what
// is at its path: a run killed while the file was written leaves nothing behind.
int nameUnnamed(OutputFile& output) {
    const std::string directory = directoryOf(output.finalPath);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = temporaryNameIn(directory);
        // Held, so that an interrupt can't fall between linking the name and noting it; moved,
        // because a copy could fail to allocate there and leave the name behind.
        const CleanupSignalsHeld held;
        if (linkUnnamed(output, path) == 0) {
            output.tempPath = std::move(path);
            setPendingTempPath(output);
            return 0;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

void removeTempName(OutputFile& output) {
    if (output.tempPath.empty()) return;
    const CleanupSignalsHeld held;
    unlinkat(folderOf(output), output.tempPath.c_str(), 0);
    pendingTempPathSet = 0;
    output.tempPath.clear();
}

// Puts a named temporary file in place without replacing anything: renameat2 where the file
// system offers it, else a hard link (and the temporary name removed).
int moveNamed(OutputFile& output) {
#ifdef RENAME_NOREPLACE
    if (renameat2(folderOf(output), output.tempPath.c_str(), folderOf(output), output.finalPath.c_str(), RENAME_NOREPLACE) == 0) {
        pendingTempPathSet = 0;
        output.tempPath.clear();
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
#endif
    return linkat(folderOf(output), output.tempPath.c_str(), folderOf(output), output.finalPath.c_str(), 0);
}

// The output is written with only its owner's access, and given the input's bits at the end, or
// where there is no input file (standard input) the bits a new file gets.
void applyStamp(const OutputFile& output) {
    fchmod(output.handle, output.stamp ? static_cast<mode_t>(output.stamp->permissions & 0777) : defaultFileMode());
    if (!output.stamp) return;
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(output.stamp->modifiedSeconds),
                                static_cast<long>(output.stamp->modifiedNanoseconds)}};
    futimens(output.handle, times);
}

// A flush that the file system doesn't offer (EINVAL: it keeps nothing to flush) has nothing to do.
bool syncHandle(int handle) {
    return fsync(handle) == 0 || errno == EINVAL;
}

bool flushFolderOf(const OutputFile& output) {
    const int folder = openat(folderOf(output), directoryOf(output.finalPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return false;
    const bool flushed = syncHandle(folder);
    close(folder);
    return flushed;
}

void closeAndDiscard(OutputFile& output) {
    if (output.handle >= 0) close(output.handle);
    output.handle = -1;
    removeTempName(output);
    output.folder = -1;
}

// ---- outputs that don't get a new name: a replaced file, standard output ----

ResultCode commitReplacing(OutputFile& output) {
    // The old file goes only once the new one is on the disk: a crash leaves one of them whole.
    const bool flushed = !output.flushToDisk || syncHandle(output.handle);
    const bool named = flushed && (!output.tempPath.empty() || nameUnnamed(output) == 0);
    const int closed = close(output.handle);
    output.handle = -1;
    // rename() replaces a file or a symbolic link itself, atomically, and refuses a directory.
    const int renamed = named && closed == 0 ? renameat(folderOf(output), output.tempPath.c_str(), folderOf(output), output.finalPath.c_str()) : -1;
    const int renameError = errno;
    if (renamed == 0) {
        pendingTempPathSet = 0;
        output.tempPath.clear();
        return !output.flushToDisk || flushFolderOf(output) ? ResultCode::Success : ResultCode::WriteFailed;
    }
    removeTempName(output);
    if (!named || closed != 0) return ResultCode::WriteFailed;
    if (renameError == EISDIR || renameError == ENOTEMPTY || renameError == EEXIST) return ResultCode::OutputExists;
    return renameError == ENAMETOOLONG ? ResultCode::OutputNotCreated : ResultCode::WriteFailed;
}

ResultCode commitToStandardOutput(OutputFile& output) {
    const ResultCode result = copyToStandardOutput(output.handle);
    close(output.handle);  // the staging file has no name: closing it is removing it
    output.handle = -1;
    return result;
}

// Writes all count bytes, in pieces where they are many: some systems cap a single write well below
// SIZE_MAX.
bool writeAll(int handle, const uint8_t* data, uint64_t count) {
    constexpr uint64_t maxPiece = uint64_t{1} << 30;
    while (count > 0) {
        const ssize_t written = write(handle, data, static_cast<size_t>(std::min(count, maxPiece)));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        count -= static_cast<uint64_t>(written);
    }
    return true;
}

constexpr size_t mostGathered = 64 * 1024;

// Keeps the bytes to be written with those gathered before them, where they fit; false where they
// are written now (also where no memory is left to gather them).
bool gathered(OutputFile& output, const uint8_t* data, uint64_t count) {
    if (count > mostGathered - output.pending.size()) return false;
    try {
        output.pending.insert(output.pending.end(), data, data + count);
    } catch (const std::bad_alloc&) {
        return false;
    }
    output.bytesWritten += count;
    return true;
}

// What was gathered goes out before anything else is done to the file: where it goes is where the
// file's position stands.
ResultCode writePending(OutputFile& output) {
    const bool written = writeAll(output.handle, output.pending.data(), output.pending.size());
    output.pending.clear();
    return written ? ResultCode::Success : ResultCode::WriteFailed;
}

// What stands at an output's path, itself (a link is not followed): looked at in the folder in use
// where the output will be made there, which is where it counts, and a shorter walk than the path.
int lookAtOutputPath(const std::string& path, struct stat& status) {
    std::string name;
    const int folder = folderInUseFor(path, name);
    return folder >= 0 ? fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) : lstat(path.c_str(), &status);
}

#ifdef __linux__
// The system copies between files page by page. Where a page of the input doesn't fall on a page
// of the output (a stream behind a head of another length), each is pieced together from two, and
// a copy through this process is faster (a quarter, measured on ext4): except where the system
// may hand the copy to a file server, which spares the network both ways.
bool systemCopyPays(const OutputFile& output, uint64_t offset) {
    static const long pageSize = sysconf(_SC_PAGESIZE);
    const off_t at = lseek(output.handle, 0, SEEK_CUR);
    if (at < 0 || pageSize <= 0 || (offset - static_cast<uint64_t>(at)) % static_cast<uint64_t>(pageSize) == 0) return true;
    struct statfs system{};
    if (fstatfs(output.handle, &system) != 0) return true;
    constexpr unsigned long nfs = 0x6969, smb = 0xFE534D42, cifs = 0xFF534D42, ceph = 0x00C36400;
    const auto type = static_cast<unsigned long>(system.f_type);
    return type == nfs || type == smb || type == cifs || type == ceph;
}
#endif

}  // namespace

OutputFile::~OutputFile() {
    closeAndDiscard(*this);
}

void installOutputCleanupHandlers() {
    for (const int signalNumber : cleanupSignals) {
        struct sigaction before {};
        // A signal ignored from the start (nohup, a shell's trap '') stays ignored.
        if (sigaction(signalNumber, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = removeTempOnSignal;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(signalNumber, &action, nullptr);
    }
    signal(SIGXFSZ, SIG_IGN);  // a file-size limit then fails the write with EFBIG
}

CleanupSignalsHeld::CleanupSignalsHeld() {
    static_assert(sizeof(sigset_t) <= sizeof saved);
    sigset_t held;
    sigemptyset(&held);
    for (const int signalNumber : cleanupSignals) sigaddset(&held, signalNumber);
    pthread_sigmask(SIG_BLOCK, &held, reinterpret_cast<sigset_t*>(saved));
}

CleanupSignalsHeld::~CleanupSignalsHeld() {
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(saved), nullptr);
}

ResultCode checkOutputPathFree(const std::string& path) {
    struct stat status {};
    if (lookAtOutputPath(path, status) == 0) return ResultCode::OutputExists;
    return errno == ENAMETOOLONG ? ResultCode::OutputNotCreated : ResultCode::Success;
}

ResultCode checkOutputPathReplaceable(const std::string& path) {
    struct stat status {};
    if (lookAtOutputPath(path, status) == 0) return S_ISDIR(status.st_mode) ? ResultCode::OutputExists : ResultCode::Success;
    return checkOutputPathFree(path);
}

ResultCode createOutputFile(const std::string& path, OutputFile& output, OutputTarget target) {
    output.finalPath = path;
    output.target = target;
    if (target == OutputTarget::StandardOutput) {
        output.handle = createStagingFile();
        return output.handle >= 0 ? ResultCode::Success : ResultCode::OutputNotCreated;
    }
    output.folder = folderInUseFor(path, output.finalPath);
    const std::string directory = directoryOf(output.finalPath);
    // A file that replaces another is unnamed too: it is named only for the rename that puts it in place.
    if (!canLinkUnnamedFiles() || !createUnnamed(directory, output)) {
        createNamed(directory, output);
    }
    return output.handle >= 0 ? ResultCode::Success : ResultCode::OutputNotCreated;
}

ResultCode writeBytes(OutputFile& output, const uint8_t* data, uint64_t count) {
    if (gathered(output, data, count)) return ResultCode::Success;
    const ResultCode result = writePending(output);
    if (failed(result)) return result;
    if (!writeAll(output.handle, data, count)) return ResultCode::WriteFailed;
    output.bytesWritten += count;
    return ResultCode::Success;
}

ResultCode seekOutput(OutputFile& output, uint64_t offset) {
    const ResultCode result = writePending(output);
    if (failed(result)) return result;
    return lseek(output.handle, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset) ? ResultCode::Success
                                                                                                  : ResultCode::WriteFailed;
}

ResultCode endOutputHere(OutputFile& output) {
    if (failed(writePending(output))) return ResultCode::WriteFailed;
    const off_t here = lseek(output.handle, 0, SEEK_CUR);
    return here >= 0 && ftruncate(output.handle, here) == 0 ? ResultCode::Success : ResultCode::WriteFailed;
}

ResultCode copyFromInput(OutputFile& output, InputFile& input, uint64_t offset, uint64_t count) {
    if (!fileHolds(input, offset, count)) return ResultCode::InputTruncated;
    if (failed(writePending(output))) return ResultCode::WriteFailed;
#ifdef __linux__
    while (count > 0 && systemCopyPays(output, offset)) {
        loff_t from = static_cast<loff_t>(offset);
        const ssize_t copied = copy_file_range(input.handle, &from, output.handle, nullptr,
                                               static_cast<size_t>(std::min<uint64_t>(count, uint64_t{1} << 30)), 0);
        if (copied < 0 && errno == EINTR) continue;
        // Not offered here (another file system, an old kernel), a full disk, or a file that
        // shrank: the plain path copies what is left or says what went wrong.
        if (copied <= 0) break;
        offset += static_cast<uint64_t>(copied);
        count -= static_cast<uint64_t>(copied);
        output.bytesWritten += static_cast<uint64_t>(copied);
    }
#endif
    return copyThroughBuffer(output, input, offset, count);
}

void startFlushingOutput(OutputFile& output) {
#ifdef __linux__
    if (output.flushToDisk) sync_file_range(output.handle, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)output;
#endif
}

ResultCode flushOutputFile(OutputFile& output) {
    if (failed(writePending(output))) return ResultCode::WriteFailed;
    return !output.flushToDisk || syncHandle(output.handle) ? ResultCode::Success : ResultCode::WriteFailed;
}

ResultCode commitOutputFile(OutputFile& output) {
    if (failed(writePending(output))) return ResultCode::WriteFailed;
    if (output.target == OutputTarget::StandardOutput) return commitToStandardOutput(output);
    applyStamp(output);
    if (output.target == OutputTarget::ReplacedFile) return commitReplacing(output);
    // The data first: a name that reaches the disk before its data can name an empty file.
    if (output.flushToDisk && !syncHandle(output.handle)) return ResultCode::WriteFailed;
    // Neither link() nor renameat2's RENAME_NOREPLACE replaces an existing name.
    const int linked = output.tempPath.empty() ? linkUnnamed(output, output.finalPath) : moveNamed(output);
    const int linkError = errno;
    const int closed = close(output.handle);
    output.handle = -1;
    removeTempName(output);
    if (linked != 0) {
        if (linkError == EEXIST) return ResultCode::OutputExists;
        return linkError == ENAMETOOLONG ? ResultCode::OutputNotCreated : ResultCode::WriteFailed;
    }
    if (closed != 0 || (output.flushToDisk && !flushFolderOf(output))) {
        unlinkat(folderOf(output), output.finalPath.c_str(), 0);
        return ResultCode::WriteFailed;
    }
    return ResultCode::Success;
}
