#include <algorithm>
#include <memory>
#include <new>

#include <isa-l/igzip_lib.h>

#include "stream/inflate.h"

ResultCode inflateWithIsal(RegionReader& reader, uint64_t limit, InflateWants wants, InflateTotals& totals) {
    // About 50 KiB of tables: on the heap, not the stack.
    const std::unique_ptr<inflate_state> state(new (std::nothrow) inflate_state());
    const InflateBuffers buffers = inflateBuffers();
    if (!state || !buffers.input) return ResultCode::OutOfMemory;
    isal_inflate_init(state.get());
    // ISA-L sums the CRC-32 as it inflates, faster than a second pass over the window.
    state->crc_flag = wants.crc32 ? ISAL_GZIP_NO_HDR : ISAL_DEFLATE;
    InflateWants ours = wants;
    ours.crc32 = false;
    uint64_t fed = 0;
    FedDigest digest;
    size_t got = 0;
    for (;;) {
        if (state->avail_in == 0 && fed < limit) {
            digestFedPiece(digest, buffers.input, got);
            const ResultCode result = readRegion(reader, buffers.input, std::min<uint64_t>(buffers.size, limit - fed), got);
            if (failed(result)) return result;
            // Nothing where the region should go on (the file shrank): never asked again.
            if (got == 0) return ResultCode::InputTruncated;
            fed += got;
            state->next_in = buffers.input;
            state->avail_in = static_cast<uint32_t>(got);
        }
        state->next_out = buffers.window;
        state->avail_out = static_cast<uint32_t>(buffers.size);
        const int status = isal_inflate(state.get());
        account(totals, buffers.window, buffers.size - state->avail_out, ours);
        if (status != ISAL_DECOMP_OK) return ResultCode::InflateFailed;
        if (state->block_state == ISAL_BLOCK_FINISH) break;
        if (state->avail_in == 0 && fed == limit && state->avail_out != 0) return ResultCode::InflateFailed;
    }
    if (wants.crc32) totals.crc32 = state->crc;
    // Whole bytes still in the bit buffer lie behind the final block; its last partial byte doesn't.
    totals.consumed = fed - state->avail_in - static_cast<uint64_t>(state->read_in_length / 8);
    totals.streamCrc32 = digestStreamEnd(digest, buffers.input, got, totals.consumed);
    return ResultCode::Success;
}

bool isalBuiltIn() {
    return true;
}
