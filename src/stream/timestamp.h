// Conversions between MS-DOS date/time words (local wall-clock time, as ZIP stores them) and
// Unix seconds (as GZIP stores them). Both directions use the local time zone, so they are
// inverse to each other in every zone.
#pragma once

#include <cstdint>

#include "core/conversion.h"

// Seconds since 1970-01-01 00:00:00 UTC of the DOS wall-clock time read in the local zone.
// Out-of-range fields carry over (seconds 60 and 62 into the next minute, day 0 into the
// previous month).
int64_t dosToUnixTime(DosDateTime dos);

// True for a date word of 0, or fields that fall before 1980-01-01 00:00:00 (day 0 of month 0):
// writers put these where they had no time.
bool dosTimeIsMissing(DosDateTime dos);

// The local wall-clock time of unixTime as DOS words. A time before 1980 gives 1980-01-01 00:00:00,
// one past 2107 gives 2107-12-31 23:59:58 (the first and last the fields hold), and so does a time
// that can't be broken down give 1980-01-01 00:00:00.
DosDateTime unixToDosTime(int64_t unixTime);
