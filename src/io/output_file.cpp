#include "io/output_file.h"

#include <algorithm>
#include <vector>

#include "io/bytes.h"

ResultCode copyThroughBuffer(OutputFile& output, InputFile& input, uint64_t offset, uint64_t count) {
    std::vector<uint8_t> buffer;
    const ResultCode made = allocateBuffer(buffer, static_cast<size_t>(std::min<uint64_t>(count, copyBufferSize)));
    if (failed(made)) return made;
    while (count > 0) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, buffer.size()));
        ResultCode result = readAtDirectly(input, offset, buffer.data(), piece);
        if (!failed(result)) result = writeBytes(output, buffer.data(), piece);
        if (failed(result)) return result;
        offset += piece;
        count -= piece;
    }
    return ResultCode::Success;
}

ResultCode checkOutputPathFor(const std::string& path, OutputTarget target) {
    switch (target) {
    case OutputTarget::NewFile: return checkOutputPathFree(path);
    case OutputTarget::ReplacedFile: return checkOutputPathReplaceable(path);
    case OutputTarget::StandardOutput: break;
    }
    return ResultCode::Success;
}
