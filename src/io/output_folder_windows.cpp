#include <algorithm>

#include <windows.h>

#include "io/output_folder.h"
#include "io/utf16_windows.h"

namespace {

bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:") == std::string::npos;
}

// Makes the folder where it is missing and holds it open: shared for reading and writing but not
// for deletion, it can be neither renamed nor removed (nor can a folder above it) while held. Below
// the root, a link's own handle is opened (FILE_FLAG_OPEN_REPARSE_POINT) and refused.
ResultCode holdFolder(const std::string& path, bool isRoot, OutputFolder& folder) {
    std::wstring wide;
    if (!widenUtf8(path, wide)) return ResultCode::OutputNotCreated;
    if (!CreateDirectoryW(wide.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return ResultCode::OutputNotCreated;
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (isRoot ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const HANDLE handle = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return ResultCode::OutputNotCreated;
    folder.held.push_back(handle);  // room was reserved: these never throw
    folder.pathLengths.push_back(folder.path.size());
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)) return ResultCode::OutputNotCreated;
    const DWORD attributes = information.dwFileAttributes;
    const bool link = !isRoot && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !link ? ResultCode::Success : ResultCode::OutputExists;
}

}  // namespace

OutputFolder::~OutputFolder() {
    for (const NativeFile folder : held) CloseHandle(folder);
}

// No flush of a folder made: Windows offers none for a folder, and NTFS journals its making.
ResultCode openOutputFolder(const std::string& root, const std::vector<std::string>& below, bool, OutputFolder& folder) {
    if (root.empty()) return ResultCode::OutputNotCreated;
    folder.held.reserve(below.size() + 1);
    folder.pathLengths.reserve(below.size() + 1);
    folder.path = root;
    const ResultCode result = holdFolder(root, true, folder);
    return failed(result) ? result : descendOutputFolder(folder, below, 0, false);
}

ResultCode descendOutputFolder(OutputFolder& folder, const std::vector<std::string>& below, size_t from, bool) {
    const size_t more = below.size() - std::min(from, below.size());
    folder.held.reserve(folder.held.size() + more);
    folder.pathLengths.reserve(folder.pathLengths.size() + more);
    ResultCode result = ResultCode::Success;
    for (size_t i = from; i < below.size() && !failed(result); ++i) {
        if (!isPlainName(below[i])) return ResultCode::OutputNotCreated;
        if (folder.path.back() != '/' && folder.path.back() != '\\') folder.path += '/';
        folder.path += below[i];
        result = holdFolder(folder.path, false, folder);
    }
    return result;
}

void closeFolderHandle(NativeFile folder) {
    CloseHandle(folder);
}
