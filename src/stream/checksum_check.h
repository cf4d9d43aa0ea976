// The --verify check: inflate the stream once and hold it against every checksum and size
// the input container carries, before any of them is trusted or carried into an output.
#pragma once

#include "driver/conversion_job.h"

// InflateFailed when the stream doesn't inflate; ChecksumMismatch when a carried CRC-32,
// size or Adler-32 disagrees with the data, or when bytes follow the stream's final block
// (a second GZIP member, garbage before a ZLIB trailer) that no checksum covers.
// A value of zero counts as not carried: it is recomputed from the data when written.
ResultCode verifyCarriedChecksums(const ConversionJob& job);
