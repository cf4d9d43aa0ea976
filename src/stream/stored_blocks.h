// A stored ZIP entry holds its data as it is, not as DEFLATE. GZIP, ZLIB and PNG carry a DEFLATE
// stream, so there such data is wrapped in DEFLATE stored blocks: no compression is done, and
// every inflater reads the result back to the same bytes.
#pragma once

#include <cstdint>

#include "stream/byte_sink.h"

// Length of length bytes once framed; empty data is one empty final block (01 00 00 FF FF).
uint64_t storedBlocksLength(uint64_t length);

// Writes length bytes from the reader as stored blocks of at most 65,535 bytes, the last final
// unless another stream is joined behind them (they end on a byte, so it follows as it stands).
ResultCode writeStoredBlocks(RegionReader& data, uint64_t length, ByteSink& sink, bool last = true);
