#include "stream/stream_check.h"

#include <algorithm>
#include <array>
#include <new>
#include <string>
#include <vector>

#include "io/bytes.h"
#include "io/region_reader.h"
#include "stream/check_steps.h"
#include "stream/checksum.h"
#include "stream/deflate_walk.h"

namespace {

// A shorter stream inflates to less than 4 GiB: a size kept modulo 2^32 is then the whole size.
constexpr uint64_t longestStreamWithExactModuloSize = 0xFFFFFFFFu / largestExpansion;
constexpr size_t scanPieceSize = 64 * 1024;

InflateWants wantsFor(const CarriedFacts& carried, OutputNeeds needs, bool verify) {
    InflateWants wants;
    wants.crc32 = needs.crc32AndSize || (verify && carried.crc32);
    wants.adler32 = needs.adler32 || (verify && carried.adler32);
    wants.rows = needs.rows;
    return wants;
}

// What a stream inflated for its checks computes: every checksum the input carries, its trailer's
// too (not read yet).
InflateWants checkedWants(const CarriedFacts& carried, OutputNeeds needs, const RegionRules& rules) {
    InflateWants wants = wantsFor(carried, needs, true);
    wants.crc32 = wants.crc32 || rules.trailerHoldsCrc32;
    wants.adler32 = wants.adler32 || rules.trailerHoldsAdler32;
    return wants;
}

// A stored entry's bytes are the data: its sums are taken over them as they stand.
ResultCode measureStoredBytes(RegionReader& reader, uint64_t length, InflateWants wants, StreamSums& sums) {
    InflateTotals totals;
    std::vector<uint8_t> piece;
    const ResultCode allocated = allocateBuffer(piece, static_cast<size_t>(std::min<uint64_t>(length, scanPieceSize)));
    if (failed(allocated)) return allocated;
    for (uint64_t left = length; left > 0;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(left, piece.size()));
        const ResultCode result = readRegionExactly(reader, piece.data(), count);
        if (failed(result)) return result;
        account(totals, piece.data(), count, wants);
        totals.walk.produced += count;
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

// One piece at the region's start is a stream of its own, the empty members behind it dropped,
// unless the output joins it to other streams and needs its final block.
void dropLoneFirstPiece(OutputNeeds needs, StreamSums& sums) {
    if (!needs.joinsOthers && sums.joined.size() == 1 && sums.joined.front().start == 0) sums.joined.clear();
}

// Members found by walking the first, unverified: every one checked as when verifying, the first
// among the others (not inflated first on its own), so that it is checked beside the second.
ResultCode checkWalkedMembers(RegionReader& reader, InputFindings& findings, const RegionRules& rules, OutputNeeds needs,
                              uint64_t firstLength, StreamSums& sums, CheckWatch* watch, WorkPool& pool) {
    const DataRegion& region = findings.region;
    ResultCode result = readTrailer(reader, firstLength - region.trailerLength, region, rules, findings.carried);
    if (failed(result)) return result;
    result = checkMembers(reader, findings, rules, checkedWants(findings.carried, needs, rules), nullptr, firstLength, sums,
                          watch, pool);
    dropLoneFirstPiece(needs, sums);
    return result;
}

ResultCode checkAndVerify(RegionReader& reader, InputFindings& findings, const RegionRules& rules, OutputNeeds needs,
                          StreamSums& sums, CheckWatch* watch, WorkPool& pool) {
    const DataRegion& region = findings.region;
    const InflateWants wants = checkedWants(findings.carried, needs, rules);
    InflateWants firstWants = wants;
    if (watch) firstWants.streamBytes = watch->firstStreamBytes;
    InflateTotals totals;
    ResultCode result = inflateFrom(reader, 0, region.length, firstWants, totals);
    if (failed(result)) return result;
    takeTotals(totals, wants, sums);
    sums.streamLength = endByte(totals.walk.endBit);
    if (sums.streamLength < shortestStream) return ResultCode::InflateFailed;
    result = readTrailer(reader, sums.streamLength, region, rules, findings.carried);
    if (failed(result)) return result;
    const uint64_t after = sums.streamLength + region.trailerLength;
    if (memberFollows(reader, after, region, rules)) {
        if (watch) watch->joining = true;
        result = checkMembers(reader, findings, rules, wants, &totals, after, sums, watch, pool);
        dropLoneFirstPiece(needs, sums);
        return result;
    }
    if (needs.joinsOthers && totals.walk.produced > 0) sums.joined = {JoinedPiece{0, totals.walk.finalHeaderBit, totals.walk.endBit}};
    result = compareCarried(findings.carried, sums);
    if (failed(result)) return result;
    return judgeTrailingBytes(reader, after, region, rules, findings.warnings);
}

// Where an unverified stream is inflated anyway, it is judged as when verifying: zlib's verdict, its
// end where its final block ends (the trailer there, what follows judged), and every value measured
// held against the one carried.
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
    const InflateWants wants = checkedWants(findings.carried, needs, rules);
    InflateTotals totals;
    result = inflateFrom(reader, 0, region.length, wants, totals);
    if (failed(result)) return result;
    takeTotals(totals, wants, sums);
    sums.streamLength = endByte(totals.walk.endBit);
    if (sums.streamLength < shortestStream) return ResultCode::InflateFailed;
    findings.carried = beforeTrailer;
    result = readTrailer(reader, sums.streamLength, region, rules, findings.carried);
    if (!failed(result)) result = compareCarried(findings.carried, sums);
    if (failed(result)) return result;
    return judgeTrailingBytes(reader, sums.streamLength + region.trailerLength, region, rules, findings.warnings);
}

// The first member walked (inflated too where inflate is set) from the region's start.
ResultCode walkFirstMember(RegionReader& reader, const InputFindings& findings, InflateWants wants, bool inflate,
                           InflateTotals& totals) {
    if (inflate) return inflateFrom(reader, 0, findings.region.length, wants, totals);
    totals = InflateTotals{};
    const ResultCode result = seekRegion(reader, 0);
    return failed(result) ? result : walkDeflate(reader, findings.region.length, totals.walk);
}

// Unverified, a container of members still has its first member walked, to know whether another
// follows (several is then set, and nothing more done): its end holds. The trailer is read there,
// the size the walk measured (and, where the member was inflated for a checksum the output needs,
// every sum) is held against it, and what follows is judged, as when verifying.
ResultCode checkFirstMemberWithoutVerifying(RegionReader& reader, InputFindings& findings, const RegionRules& rules,
                                            OutputNeeds needs, StreamSums& sums, bool& several) {
    const DataRegion& region = findings.region;
    const InflateWants wants = checkedWants(findings.carried, needs, rules);
    bool inflate = needs.adler32;  // which no member carries
    InflateTotals totals;
    ResultCode result = walkFirstMember(reader, findings, wants, inflate, totals);
    if (failed(result)) return result;
    sums.streamLength = endByte(totals.walk.endBit);
    if (sums.streamLength < shortestStream) return ResultCode::InflateFailed;
    several = memberFollows(reader, sums.streamLength + region.trailerLength, region, rules);
    if (several) return ResultCode::Success;
    result = readTrailer(reader, sums.streamLength, region, rules, findings.carried);
    if (failed(result)) return result;
    // The walk measured the exact size: only a CRC-32 the member lacks is inflated for.
    if (!inflate && needs.crc32AndSize && !findings.carried.crc32) {
        inflate = true;
        result = walkFirstMember(reader, findings, wants, inflate, totals);
        if (failed(result)) return result;
    }
    if (inflate) takeTotals(totals, wants, sums);
    sums.size = totals.walk.produced;
    CarriedFacts carried = findings.carried;
    carried.framingCrcWrong = false;  // the header's own CRC-16 is checked only when verifying
    result = compareCarried(carried, sums);
    if (failed(result)) return result;
    return judgeTrailingBytes(reader, sums.streamLength + region.trailerLength, region, rules, findings.warnings);
}

}  // namespace

ResultCode inflateFrom(RegionReader& reader, uint64_t from, uint64_t limit, InflateWants wants, InflateTotals& totals) {
    const ResultCode result = seekRegion(reader, from);
    return failed(result) ? result : inflateStream(reader, limit, wants, totals);
}

void takeTotals(const InflateTotals& totals, InflateWants wants, StreamSums& sums) {
    sums.size = totals.walk.produced;
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

ResultCode judgeTrailingBytes(RegionReader& reader, uint64_t from, const DataRegion& region,
                              const RegionRules& rules, std::vector<std::string>& warnings) {
    const uint64_t count = region.length - from;
    if (count == 0) return ResultCode::Success;
    std::vector<uint8_t> piece;
    size_t got = 0;
    ResultCode result = allocateBuffer(piece, static_cast<size_t>(std::min<uint64_t>(count, scanPieceSize)));
    if (!failed(result)) result = seekRegion(reader, from);
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
    return allZero ? ResultCode::Success : warnOfTrailingBytes(warnings, count);
}

bool memberFollows(RegionReader& reader, uint64_t at, const DataRegion& region, const RegionRules& rules) {
    uint8_t magic[2] = {};
    if (!rules.readMember || at > region.length || region.length - at < sizeof magic || failed(seekRegion(reader, at))) return false;
    return !failed(readRegionExactly(reader, magic, sizeof magic)) && magic[0] == 0x1F && magic[1] == 0x8B;
}

ResultCode warnOfTrailingBytes(std::vector<std::string>& warnings, uint64_t count) {
    try {
        warnings.push_back("WARNING: " + std::to_string(count) + " bytes after the end of the stream were ignored.\n");
        return ResultCode::Success;
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

ResultCode checkStream(InputFile& file, InputFindings& findings, const RegionRules& rules, OutputNeeds needs,
                       bool verify, StreamSums& sums, ReadProgress progress, CheckWatch* watch, WorkPool* pool) {
    RegionReader reader = regionReader(file, findings.region.extents, rules.walk);
    reader.progress = progress;
    reader.progress.total = findings.region.length;
    if (findings.carried.payloadIsStored) return checkStoredEntry(reader, findings, needs, verify, sums);
    if (!verify) {
        const CarriedFacts carried = findings.carried;
        bool several = false;
        const ResultCode result = rules.readMember ? checkFirstMemberWithoutVerifying(reader, findings, rules, needs, sums, several)
                                                   : checkWithoutVerifying(reader, findings, rules, needs, sums);
        if (!several) return result;
        if (watch) watch->joining = true;
        findings.carried = carried;
        const uint64_t firstLength = sums.streamLength + findings.region.trailerLength;
        sums = StreamSums{};
        WorkPool alone(1);  // without a pool, every member is checked on this thread
        return checkWalkedMembers(reader, findings, rules, needs, firstLength, sums, watch, pool ? *pool : alone);
    }
    WorkPool alone(1);
    return checkAndVerify(reader, findings, rules, needs, sums, watch, pool ? *pool : alone);
}

bool checkReadsStream(const InputFindings& findings, const RegionRules& rules, OutputNeeds needs, bool verify) {
    if (verify || rules.readMember) return true;
    // The trailer, not read yet, gives what it holds: any value stands in for it here.
    CarriedFacts carried = findings.carried;
    if (rules.trailerHoldsCrc32) {
        carried.crc32 = 0;
        carried.size = 0;
    }
    if (rules.trailerHoldsAdler32) carried.adler32 = adler32Start;
    const DataRegion& region = findings.region;
    return mustInflateWithoutVerifying(carried, needs, region.length - std::min(region.length, region.trailerLength));
}

void fillOutputSums(const CarriedFacts& carried, const StreamSums& sums, OutputFacts& facts) {
    facts.crc32 = sums.crc32.value_or(carried.crc32.value_or(0));
    facts.size = sums.size.value_or(carried.size.value_or(0));
    facts.adler32 = sums.adler32.value_or(carried.adler32.value_or(adler32Start));
}
