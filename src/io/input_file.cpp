#include "io/input_file.h"

ResultCode readAt(InputFile& file, uint64_t offset, uint8_t* destination, size_t count) {
    if (!fileHolds(file, offset, count)) return ResultCode::InputTruncated;
    size_t got = 0;
    const ResultCode result = readUpTo(file, offset, destination, count, got);
    if (failed(result)) return result;
    return got == count ? ResultCode::Success : ResultCode::InputTruncated;
}
