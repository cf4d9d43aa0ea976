#include "stream/stream_check.h"

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "io/region_reader.h"
#include "stream/deflate_walk.h"

namespace {

// DEFLATE can't expand data more than about 1032 to 1, so a shorter stream inflates to less than
// 4 GiB and a size kept modulo 2^32 is then the whole size.
constexpr uint64_t longestStreamWithExactModuloSize = 0xFFFFFFFFu / 1032;
// The shortest complete DEFLATE stream, an empty final fixed block, is 03 00.
constexpr uint64_t shortestStream = 2;
constexpr size_t scanPieceSize = 64 * 1024;
// Starting a thread costs about as much as walking this much of a stream: a shorter one is walked
// after it is inflated, on the same thread.
constexpr uint64_t shortestStreamWalkedBeside = 16 * 1024;

InflateWants wantsFor(const CarriedFacts& carried, OutputNeeds needs, bool verify) {
    InflateWants wants;
    wants.crc32 = needs.crc32AndSize || (verify && carried.crc32);
    wants.adler32 = needs.adler32 || (verify && carried.adler32);
    wants.rows = needs.rows;
    return wants;
}

void takeTotals(const InflateTotals& totals, InflateWants wants, StreamSums& sums) {
    sums.size = totals.produced;
    sums.streamCrc32 = totals.streamCrc32;
    if (wants.crc32) sums.crc32 = totals.crc32;
    if (wants.adler32) sums.adler32 = totals.adler32;
    sums.rowLeadsValid = totals.rows.leadsValid;
}

ResultCode compareCarried(const CarriedFacts& carried, const StreamSums& sums) {
    if (carried.framingCrcWrong) return ResultCode::ChecksumMismatch;
    if (carried.crc32 && sums.crc32 && *carried.crc32 != *sums.crc32) return ResultCode::ChecksumMismatch;
    if (carried.adler32 && sums.adler32 && *carried.adler32 != *sums.adler32) return ResultCode::ChecksumMismatch;
    if (carried.size && sums.size) {
        const uint64_t measured = carried.sizeIsModulo2To32 ? (*sums.size & 0xFFFFFFFFu) : *sums.size;
        if (*carried.size != measured) return ResultCode::ChecksumMismatch;
    }
    return ResultCode::Success;
}

ResultCode readTrailer(RegionReader& reader, uint64_t at, const DataRegion& region, const RegionRules& rules,
                       CarriedFacts& carried) {
    if (region.trailerLength == 0) return ResultCode::Success;
    std::array<uint8_t, 16> trailer{};
    ResultCode result = seekRegion(reader, at);
    if (!failed(result)) result = readRegionExactly(reader, trailer.data(), static_cast<size_t>(region.trailerLength));
    if (failed(result)) return result;
    rules.parseTrailer(trailer.data(), carried);
    return ResultCode::Success;
}

// Bytes between the trailer and the region's end: nothing, zero padding, another member of the
// container's own kind (refused), or anything else (ignored, with a warning).
ResultCode judgeTrailingBytes(RegionReader& reader, uint64_t from, const DataRegion& region,
                              const RegionRules& rules, std::vector<std::string>& warnings) {
    const uint64_t count = region.length - from;
    if (count == 0) return ResultCode::Success;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(count, scanPieceSize)));
    size_t got = 0;
    ResultCode result = seekRegion(reader, from);
    if (!failed(result)) result = readRegion(reader, piece.data(), piece.size(), got);
    if (failed(result)) return result;
    if (rules.judgeTrailingBytes) {
        result = rules.judgeTrailingBytes(piece.data(), got);
        if (failed(result)) return result;
    }
    bool allZero = rules.zeroPaddingIsSilent;
    while (allZero && got > 0) {
        allZero = std::all_of(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(got), [](uint8_t b) { return b == 0; });
        result = readRegion(reader, piece.data(), piece.size(), got);
        if (failed(result)) return result;
    }
    if (!allZero) warnings.push_back("WARNING: " + std::to_string(count) + " bytes after the end of the stream were ignored.\n");
    return ResultCode::Success;
}

// A stored entry's bytes are the data: its sums are taken over them as they stand.
ResultCode measureStoredBytes(RegionReader& reader, uint64_t length, InflateWants wants, StreamSums& sums) {
    InflateTotals totals;
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(length, scanPieceSize)));
    for (uint64_t left = length; left > 0;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(left, piece.size()));
        const ResultCode result = readRegionExactly(reader, piece.data(), count);
        if (failed(result)) return result;
        account(totals, piece.data(), count, wants);
        totals.streamCrc32 = updateCrc32(totals.streamCrc32, piece.data(), count);
        left -= count;
    }
    takeTotals(totals, wants, sums);
    return ResultCode::Success;
}

ResultCode checkStoredEntry(RegionReader& reader, const InputFindings& findings, OutputNeeds needs, bool verify,
                            StreamSums& sums) {
    const CarriedFacts& carried = findings.carried;
    sums.streamLength = findings.region.length;
    const InflateWants wants = wantsFor(carried, needs, verify);
    const bool measured = verify || needs.adler32 || (needs.crc32AndSize && !(carried.crc32 && carried.size));
    if (!measured) return ResultCode::Success;
    const ResultCode result = measureStoredBytes(reader, sums.streamLength, wants, sums);
    if (failed(result) || !verify) return result;
    return compareCarried(carried, sums);
}

bool mustInflateWithoutVerifying(const CarriedFacts& carried, OutputNeeds needs, uint64_t streamLength) {
    if (needs.adler32 && !carried.adler32) return true;
    if (!needs.crc32AndSize) return false;
    if (!carried.crc32 || !carried.size) return true;
    return needs.exactSize && carried.sizeIsModulo2To32 && streamLength > longestStreamWithExactModuloSize;
}

// Inflates from the region's start, reading at most limit bytes; consumed is where the stream ended.
ResultCode inflateFromStart(RegionReader& reader, uint64_t limit, InflateWants wants, InflateEngine engine,
                            StreamSums& sums, uint64_t& consumed) {
    InflateTotals totals;
    ResultCode result = seekRegion(reader, 0);
    if (failed(result)) return result;
    result = inflateStream(reader, limit, wants, totals, engine);
    // Unverified, trusted input: what the fast engine refuses, zlib is asked again.
    if (failed(result) && engine == InflateEngine::Isal) {
        return inflateFromStart(reader, limit, wants, InflateEngine::Zlib, sums, consumed);
    }
    takeTotals(totals, wants, sums);
    consumed = totals.consumed;
    return result;
}

ResultCode checkWithoutVerifying(RegionReader& reader, InputFindings& findings, const RegionRules& rules,
                                 OutputNeeds needs, StreamSums& sums) {
    const DataRegion& region = findings.region;
    if (region.length < region.trailerLength) return ResultCode::InputTruncated;
    const CarriedFacts beforeTrailer = findings.carried;
    sums.streamLength = region.length - region.trailerLength;
    ResultCode result = readTrailer(reader, sums.streamLength, region, rules, findings.carried);
    if (failed(result)) return result;
    if (sums.streamLength < shortestStream) return ResultCode::InflateFailed;
    if (!mustInflateWithoutVerifying(findings.carried, needs, sums.streamLength)) return ResultCode::Success;
    // Trusted input: the fast engine serves wherever a checksum is carried, though nothing compares.
    const InflateEngine engine = findings.carried.crc32 || findings.carried.adler32 ? InflateEngine::Isal : InflateEngine::Zlib;
    // Inflated, the stream ends where its final block ends: the trailer is there, and what follows
    // it is judged as when verifying.
    result = inflateFromStart(reader, region.length, wantsFor(findings.carried, needs, false), engine, sums, sums.streamLength);
    if (failed(result)) return result;
    if (sums.streamLength < shortestStream) return ResultCode::InflateFailed;
    findings.carried = beforeTrailer;
    result = readTrailer(reader, sums.streamLength, region, rules, findings.carried);
    if (failed(result)) return result;
    return judgeTrailingBytes(reader, sums.streamLength + region.trailerLength, region, rules, findings.warnings);
}

// The walk of the same region by the strict walker, with its own reader (reads at an offset
// are safe from two threads).
struct StrictWalk {
    InputFile* file = nullptr;
    const DataRegion* region = nullptr;
    NextExtent walkPieces = nullptr;
    DeflateWalk walk;
    ResultCode result = ResultCode::Success;
};

void walkStrictly(StrictWalk& strict) {
    RegionReader reader = regionReader(*strict.file, strict.region->extents, strict.walkPieces);
    strict.result = walkDeflate(reader, strict.region->length, strict.walk);
}

// ISA-L inflates for the sums while the walker, on the other core, gives zlib's verdict: a
// stream passes only when both accept it and both end at the same byte. For a short stream, or
// where no thread can be started, the two run one after the other. Without ISA-L, zlib alone does
// both.
ResultCode inflateStrictly(RegionReader& reader, const InputFindings& findings, const RegionRules& rules,
                           InflateWants wants, StreamSums& sums) {
    const uint64_t limit = findings.region.length;
    if (!isalBuiltIn()) return inflateFromStart(reader, limit, wants, InflateEngine::Zlib, sums, sums.streamLength);
    StrictWalk strict;
    strict.file = reader.file;
    strict.region = &findings.region;
    strict.walkPieces = rules.walk;
    std::optional<std::thread> walker;
    try {
        if (limit >= shortestStreamWalkedBeside) walker.emplace(walkStrictly, std::ref(strict));
    } catch (const std::system_error&) {
    }
    InflateTotals totals;
    ResultCode result = seekRegion(reader, 0);
    if (!failed(result)) result = inflateStream(reader, limit, wants, totals, InflateEngine::Isal);
    if (walker) {
        walker->join();
    } else {
        walkStrictly(strict);
    }
    if (failed(strict.result)) return strict.result;
    // A stream zlib accepts and ISA-L refuses (none is known): zlib takes the sums.
    if (result == ResultCode::InflateFailed) {
        return inflateFromStart(reader, limit, wants, InflateEngine::Zlib, sums, sums.streamLength);
    }
    if (failed(result)) return result;
    if (totals.consumed != (strict.walk.endBit + 7) / 8 || totals.produced != strict.walk.produced) {
        return ResultCode::InflateFailed;
    }
    takeTotals(totals, wants, sums);
    sums.streamLength = totals.consumed;
    return ResultCode::Success;
}

ResultCode checkAndVerify(RegionReader& reader, InputFindings& findings, const RegionRules& rules, OutputNeeds needs,
                          StreamSums& sums) {
    const DataRegion& region = findings.region;
    // The trailer isn't read yet, so every checksum it may hold is asked for.
    InflateWants wants = wantsFor(findings.carried, needs, true);
    wants.crc32 = wants.crc32 || rules.trailerHoldsCrc32;
    wants.adler32 = wants.adler32 || rules.trailerHoldsAdler32;
    ResultCode result = inflateStrictly(reader, findings, rules, wants, sums);
    if (failed(result)) return result;
    if (sums.streamLength < shortestStream) return ResultCode::InflateFailed;
    result = readTrailer(reader, sums.streamLength, region, rules, findings.carried);
    if (failed(result)) return result;
    result = compareCarried(findings.carried, sums);
    if (failed(result)) return result;
    return judgeTrailingBytes(reader, sums.streamLength + region.trailerLength, region, rules, findings.warnings);
}

}  // namespace

ResultCode checkStream(InputFile& file, InputFindings& findings, const RegionRules& rules, OutputNeeds needs,
                       bool verify, StreamSums& sums, ReadProgress progress) {
    RegionReader reader = regionReader(file, findings.region.extents, rules.walk);
    reader.progress = progress;
    reader.progress.total = findings.region.length;
    if (findings.carried.payloadIsStored) return checkStoredEntry(reader, findings, needs, verify, sums);
    if (!verify) return checkWithoutVerifying(reader, findings, rules, needs, sums);
    return checkAndVerify(reader, findings, rules, needs, sums);
}

void fillOutputSums(const CarriedFacts& carried, const StreamSums& sums, OutputFacts& facts) {
    facts.crc32 = sums.crc32.value_or(carried.crc32.value_or(0));
    facts.size = sums.size.value_or(carried.size.value_or(0));
    facts.adler32 = sums.adler32.value_or(carried.adler32.value_or(adler32Start));
}
