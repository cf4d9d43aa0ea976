// Conversions between MS-DOS date/time words (local wall-clock time, as ZIP stores them) and
// Unix seconds (as GZIP stores them). Both directions use the local time zone, so they are
// inverse to each other in every zone.
#pragma once

#include <cstdint>

#include "core/conversion.h"

// Seconds since 1970-01-01 00:00:00 UTC of the DOS wall-clock time read in the local zone.
// Out-of-range fields carry over (seconds 60 and 62 into the next minute, day 0 into the
// previous month). Date and time words 0 stand for 1979-11-30 00:00:00.
int64_t dosToUnixTime(DosDateTime dos);

// The local wall-clock time of unixTime as DOS words. Years before 1980 become 1980 (month, day
// and time kept); a time that can't be broken down gives 1980-01-01 00:00:00.
DosDateTime unixToDosTime(int64_t unixTime);
