#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/output_folder.h"

namespace {

// A folder's name as an archive gives it, after cleaning: one step down, never up or sideways.
bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}

// The folder that holds the folder made: at itself, or where at is the working folder, the one
// the path names.
bool flushFolderHolding(int at, const std::string& name) {
    if (at != AT_FDCWD) return fsync(at) == 0 || errno == EINVAL;
    const size_t slash = name.find_last_of('/');
    const std::string holder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    const int folder = open(holder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool flushed = folder >= 0 && (fsync(folder) == 0 || errno == EINVAL);
    if (folder >= 0) close(folder);
    return flushed;
}

// Opens the folder name in the folder at, made where it is missing; with O_NOFOLLOW in noFollow a
// symbolic link there is refused (ELOOP), never followed.
int openFolder(int at, const std::string& name, int noFollow, bool flushToDisk) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | noFollow;
    const int folder = openat(at, name.c_str(), flags);
    if (folder >= 0 || errno != ENOENT) return folder;
    const bool made = mkdirat(at, name.c_str(), 0777) == 0;
    if (!made && errno != EEXIST) return -1;
    // The new folder's name reaches the disk before any output is put in it (its own flush
    // follows each output's).
    if (made && flushToDisk && !flushFolderHolding(at, name)) return -1;
    return openat(at, name.c_str(), flags);
}

// A link (ELOOP; EMLINK on the BSDs) or a file where a folder should be is something that exists
// at the output's path.
ResultCode failureOf(int error) {
    return error == ELOOP || error == EMLINK || error == ENOTDIR || error == EEXIST ? ResultCode::OutputExists
                                                                                    : ResultCode::OutputNotCreated;
}

// Folders kept open to go back up to: a few, however deep the names go, so that they never use up
// the process's descriptors.
constexpr size_t mostFoldersHeld = 16;

// The folder opened below the one in hand becomes the one in hand; the one highest up is closed
// where too many are held.
void holdFolder(OutputFolder& folder, int opened) {
    if (folder.held.size() == mostFoldersHeld) {
        close(folder.held.front());
        folder.held.erase(folder.held.begin());
        folder.pathLengths.erase(folder.pathLengths.begin());
    }
    folder.held.push_back(opened);  // room was reserved: this never throws
    folder.pathLengths.push_back(folder.path.size());
    folder.handle = opened;
}

}  // namespace

OutputFolder::~OutputFolder() {
    for (const int folder : held) close(folder);
}

ResultCode openOutputFolder(const std::string& root, const std::vector<std::string>& below, bool flushToDisk, OutputFolder& folder) {
    if (root.empty()) return ResultCode::OutputNotCreated;
    folder.held.reserve(mostFoldersHeld);
    folder.pathLengths.reserve(mostFoldersHeld);
    folder.path = root;
    const int opened = openFolder(AT_FDCWD, root, 0, flushToDisk);
    if (opened < 0) return failureOf(errno);
    holdFolder(folder, opened);
    return descendOutputFolder(folder, below, 0, flushToDisk);
}

void closeFolderHandle(NativeFile folder) {
    close(folder);
}

ResultCode descendOutputFolder(OutputFolder& folder, const std::vector<std::string>& below, size_t from, bool flushToDisk) {
    for (size_t i = from; i < below.size(); ++i) {
        const std::string& name = below[i];
        if (!isPlainName(name)) return ResultCode::OutputNotCreated;
        const int next = openFolder(folder.handle, name, O_NOFOLLOW, flushToDisk);
        if (next < 0) {
            folder.handle = -1;
            return failureOf(errno);
        }
        if (folder.path.back() != '/') folder.path += '/';
        folder.path += name;
        holdFolder(folder, next);
    }
    return ResultCode::Success;
}
