// The steps one check of a stream is made of, shared by a single stream and a file of members.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream/stream_check.h"

// Seeks to the region's position from and inflates the stream there, reading at most limit bytes.
ResultCode inflateFrom(RegionReader& reader, uint64_t from, uint64_t limit, InflateWants wants, InflateTotals& totals);

// The sums wants asked for, the size and the stream's own sum, as the check established them.
void takeTotals(const InflateTotals& totals, InflateWants wants, StreamSums& sums);

// Every value measured against the one carried: ChecksumMismatch where one differs.
ResultCode compareCarried(const CarriedFacts& carried, const StreamSums& sums);

// Reads the container's trailer at the region's position at into carried.
ResultCode readTrailer(RegionReader& reader, uint64_t at, const DataRegion& region, const RegionRules& rules,
                       CarriedFacts& carried);

// True where the bytes at the region's position at start another member.
bool memberFollows(RegionReader& reader, uint64_t at, const DataRegion& region, const RegionRules& rules);

// Bytes between the trailer and the region's end: nothing, zero padding, a member of the container's
// own kind cut short (refused), or anything else (ignored, with a warning).
ResultCode judgeTrailingBytes(RegionReader& reader, uint64_t from, const DataRegion& region,
                              const RegionRules& rules, std::vector<std::string>& warnings);

// The first member checked (its totals), the members from at are checked, in parallel where their
// headers hint where each starts, and joined; the first failing one in the file's order decides.
// Without first, the first member is checked among them, from the region's start, the next one
// starting at at (where a walk found it).
ResultCode checkMembers(RegionReader& reader, InputFindings& findings, const RegionRules& rules, InflateWants wants,
                        const InflateTotals* first, uint64_t at, StreamSums& sums, CheckWatch* watch, WorkPool& pool);
