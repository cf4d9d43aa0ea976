#include "io/standard_streams.h"

#include <mutex>
#include <optional>

ResultCode stageStandardInput(InputFile& file) {
    static std::mutex lock;  // inputs are opened on several threads where checked ahead
    static InputFile staged;
    static std::optional<ResultCode> stagedResult;
    const std::lock_guard held(lock);
    if (!stagedResult) stagedResult = copyStandardInput(staged);
    if (failed(*stagedResult)) return *stagedResult;
    file.handle = duplicateNativeFile(staged.handle);
    file.size = staged.size;
    return file.handle == invalidNativeFile ? ResultCode::OutputNotCreated : ResultCode::Success;
}
