#include "io/output_folder.h"

namespace {

// One per thread: the thread that creates an output is the one that put the folder in use.
thread_local const OutputFolder* folderInUse = nullptr;

}  // namespace

OutputFolderInUse::OutputFolderInUse(const OutputFolder& folder) : previous(folderInUse) {
    folderInUse = &folder;
}

OutputFolderInUse::~OutputFolderInUse() {
    folderInUse = previous;
}

bool ascendOutputFolder(OutputFolder& folder, size_t levels) {
    if (levels >= folder.held.size()) return false;
    for (; levels > 0; --levels) {
        closeFolderHandle(folder.held.back());
        folder.held.pop_back();
        folder.pathLengths.pop_back();
    }
    folder.path.resize(folder.pathLengths.back());
    // POSIX makes outputs in the folder in hand; Windows names them by their path, its handle unused.
    if (folder.handle != invalidNativeFile) folder.handle = folder.held.back();
    return true;
}

NativeFile folderInUseFor(const std::string& outputPath, std::string& name) {
    if (!folderInUse || folderInUse->handle == invalidNativeFile || folderInUse->path.empty()) return invalidNativeFile;
    const std::string& folder = folderInUse->path;
    const std::string prefix = folder.back() == '/' ? folder : folder + "/";
    if (outputPath.size() <= prefix.size() || outputPath.compare(0, prefix.size(), prefix) != 0) return invalidNativeFile;
    if (outputPath.find('/', prefix.size()) != std::string::npos) return invalidNativeFile;
    name = outputPath.substr(prefix.size());
    return folderInUse->handle;
}
