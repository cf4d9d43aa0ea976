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

NativeFile folderInUseFor(const std::string& outputPath, std::string& name) {
    if (!folderInUse || folderInUse->handle == invalidNativeFile || folderInUse->path.empty()) return invalidNativeFile;
    const std::string& folder = folderInUse->path;
    const std::string prefix = folder.back() == '/' ? folder : folder + "/";
    if (outputPath.size() <= prefix.size() || outputPath.compare(0, prefix.size(), prefix) != 0) return invalidNativeFile;
    if (outputPath.find('/', prefix.size()) != std::string::npos) return invalidNativeFile;
    name = outputPath.substr(prefix.size());
    return folderInUse->handle;
}
