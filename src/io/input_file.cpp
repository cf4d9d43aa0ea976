#include "io/input_file.h"

#include <algorithm>
#include <cstring>

#include "io/bytes.h"

namespace {

constexpr size_t windowCapacity = 64 * 1024;
// A read this long goes straight to its destination: through the window it would cost a copy
// more and save hardly a system call.
constexpr size_t shortestDirectRead = windowCapacity / 2;

bool windowHolds(const ReadWindow& window, uint64_t offset, size_t count) {
    return offset >= window.offset && offset - window.offset <= window.length &&
           count <= window.length - (offset - window.offset);
}

// Reads what the file holds from offset into the window, as far as it goes. A window is never
// larger than its file: a small file costs a small window.
ResultCode fillWindow(InputFile& file, ReadWindow& window, uint64_t offset) {
    window.length = 0;
    if (window.bytes.empty()) {
        const ResultCode result = allocateBuffer(window.bytes, static_cast<size_t>(std::min<uint64_t>(windowCapacity, file.size)));
        if (failed(result)) return result;
    }
    window.offset = offset;
    size_t got = 0;
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(window.bytes.size(), file.size - offset));
    const ResultCode result = readUpTo(file, offset, window.bytes.data(), wanted, got);
    if (!failed(result)) window.length = got;
    return result;
}

}  // namespace

ResultCode readAtDirectly(InputFile& file, uint64_t offset, uint8_t* destination, size_t count) {
    if (!fileHolds(file, offset, count)) return ResultCode::InputTruncated;
    size_t got = 0;
    const ResultCode result = readUpTo(file, offset, destination, count, got);
    if (failed(result)) return result;
    return got == count ? ResultCode::Success : ResultCode::InputTruncated;
}

ResultCode readThroughWindow(InputFile& file, ReadWindow& window, uint64_t offset, uint8_t* destination, size_t count) {
    if (!fileHolds(file, offset, count)) return ResultCode::InputTruncated;
    if (count == 0) return ResultCode::Success;
    if (count >= shortestDirectRead) return readAtDirectly(file, offset, destination, count);
    if (!windowHolds(window, offset, count)) {
        if (fillWindow(file, window, offset) == ResultCode::OutOfMemory) return ResultCode::OutOfMemory;
        if (!windowHolds(window, offset, count)) return readAtDirectly(file, offset, destination, count);
    }
    std::memcpy(destination, window.bytes.data() + (offset - window.offset), count);
    return ResultCode::Success;
}

ResultCode readAt(InputFile& file, uint64_t offset, uint8_t* destination, size_t count) {
    const std::unique_lock held(file.windowInUse, std::try_to_lock);
    if (!held.owns_lock()) return readAtDirectly(file, offset, destination, count);
    return readThroughWindow(file, file.window, offset, destination, count);
}
