#include "stream/checksum.h"

#include <algorithm>

#include <zlib.h>

namespace {

// zlib counts in unsigned int; longer runs go in pieces of this size.
constexpr uint64_t maxPiece = uint64_t{1} << 30;

template <typename Update>
uint32_t inPieces(uint32_t value, const uint8_t* data, uint64_t length, Update update) {
    uLong running = value;
    while (length > 0) {
        const uint64_t piece = std::min(length, maxPiece);
        running = update(running, data, static_cast<uInt>(piece));
        data += piece;
        length -= piece;
    }
    return static_cast<uint32_t>(running);
}

}  // namespace

uint32_t updateCrc32(uint32_t crc, const uint8_t* data, uint64_t length) {
    return inPieces(crc, data, length, [](uLong v, const Bytef* d, uInt n) { return ::crc32(v, d, n); });
}

uint32_t updateAdler32(uint32_t adler, const uint8_t* data, uint64_t length) {
    return inPieces(adler, data, length, [](uLong v, const Bytef* d, uInt n) { return ::adler32(v, d, n); });
}
