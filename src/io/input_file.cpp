#include "io/input_file.h"

#include <algorithm>
#include <cstring>

#include "io/bytes.h"

namespace {

constexpr size_t windowCapacity = 64 * 1024;
// A read this long goes straight to its destination: through the window it would cost a copy
// more and save hardly a system call.
constexpr size_t shortestDirectRead = windowCapacity / 2;
// A read this long is a reader's piece, not a field: where it starts outside the window, the window
// is filled with it and a little more, not a whole window's worth. A decoder that reads a short
// member whole (its length hinted) then costs a read of the member, not of 64 KiB past it; a read
// that goes on from inside the window still fills it whole.
constexpr size_t shortestPieceRead = 2 * 1024;
constexpr size_t pieceReadAhead = 512;

bool windowHolds(const ReadWindow& window, uint64_t offset, size_t count) {
    return offset >= window.offset && offset - window.offset <= window.length &&
           count <= window.length - (offset - window.offset);
}

// Reads what the file holds from offset into the window, up to length bytes. A window is never
// larger than its file: a small file costs a small window.
ResultCode fillWindow(InputFile& file, ReadWindow& window, uint64_t offset, size_t length) {
    window.length = 0;
    if (window.bytes.empty()) {
        const ResultCode result = allocateBuffer(window.bytes, static_cast<size_t>(std::min<uint64_t>(windowCapacity, file.size)));
        if (failed(result)) return result;
    }
    window.offset = offset;
    size_t got = 0;
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(std::min(window.bytes.size(), length), file.size - offset));
    const ResultCode result = readUpTo(file, offset, window.bytes.data(), wanted, got);
    if (!failed(result)) window.length = got;
    return result;
}

thread_local const InputBytesHeld* bytesHeld = nullptr;

bool servedFromHeld(const InputFile& file, uint64_t offset, uint8_t* destination, size_t count) {
    const InputBytesHeld* held = bytesHeld;
    if (!held || &held->file != &file || offset < held->offset) return false;
    const uint64_t from = offset - held->offset;
    if (from > held->bytes.size() || count > held->bytes.size() - from) return false;
    if (count > 0) std::memcpy(destination, held->bytes.data() + from, count);
    return true;
}

}  // namespace

InputBytesHeld::InputBytesHeld(const InputFile& file, uint64_t offset, const std::vector<uint8_t>& bytes)
    : file(file), offset(offset), bytes(bytes), previous(bytesHeld) {
    bytesHeld = this;
}

InputBytesHeld::~InputBytesHeld() {
    bytesHeld = previous;
}

ResultCode readAtDirectly(InputFile& file, uint64_t offset, uint8_t* destination, size_t count) {
    if (!fileHolds(file, offset, count)) return ResultCode::InputTruncated;
    if (servedFromHeld(file, offset, destination, count)) return ResultCode::Success;
    size_t got = 0;
    const ResultCode result = readUpTo(file, offset, destination, count, got);
    if (failed(result)) return result;
    return got == count ? ResultCode::Success : ResultCode::InputTruncated;
}

ResultCode readThroughWindow(InputFile& file, ReadWindow& window, uint64_t offset, uint8_t* destination, size_t count) {
    if (!fileHolds(file, offset, count)) return ResultCode::InputTruncated;
    if (count == 0) return ResultCode::Success;
    if (count >= shortestDirectRead) return readAtDirectly(file, offset, destination, count);
    if (servedFromHeld(file, offset, destination, count)) return ResultCode::Success;
    if (!windowHolds(window, offset, count)) {
        const bool piece = count >= shortestPieceRead && !windowHolds(window, offset, 0);
        const size_t length = piece ? count + pieceReadAhead : windowCapacity;
        if (fillWindow(file, window, offset, length) == ResultCode::OutOfMemory) return ResultCode::OutOfMemory;
        if (!windowHolds(window, offset, count)) return readAtDirectly(file, offset, destination, count);
    }
    std::memcpy(destination, window.bytes.data() + (offset - window.offset), count);
    return ResultCode::Success;
}

ResultCode readAt(InputFile& file, uint64_t offset, uint8_t* destination, size_t count) {
    const std::unique_lock held(file.windowInUse, std::try_to_lock);
    if (!held.owns_lock()) return readAtDirectly(file, offset, destination, count);
    // The window used last, where it holds the bytes; else the other, filled anew where it doesn't.
    if (!windowHolds(file.windows[file.windowUsedLast], offset, count)) file.windowUsedLast = 1 - file.windowUsedLast;
    return readThroughWindow(file, file.windows[file.windowUsedLast], offset, destination, count);
}
