#include "stream/stream_check.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <new>
#include <thread>
#include <vector>

#include "io/bytes.h"
#include "io/region_reader.h"
#include "stream/checksum.h"
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

// What a stream inflated for its checks computes: every checksum the input carries, its trailer's
// too (not read yet).
InflateWants checkedWants(const CarriedFacts& carried, OutputNeeds needs, const RegionRules& rules) {
    InflateWants wants = wantsFor(carried, needs, true);
    wants.crc32 = wants.crc32 || rules.trailerHoldsCrc32;
    wants.adler32 = wants.adler32 || rules.trailerHoldsAdler32;
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

// zlib inflates from the region's position from, reading at most limit bytes; totals.consumed is
// where the stream ended, counted from there.
ResultCode inflateFrom(RegionReader& reader, uint64_t from, uint64_t limit, InflateWants wants, InflateTotals& totals) {
    const ResultCode result = seekRegion(reader, from);
    return failed(result) ? result : inflateStream(reader, limit, wants, totals, InflateEngine::Zlib);
}

// The walk of the same region by the strict walker, with its own reader (reads at an offset
// are safe from two threads).
struct StrictWalk {
    InputFile* file = nullptr;
    const DataRegion* region = nullptr;
    NextExtent walkPieces = nullptr;
    uint64_t from = 0;
    DeflateWalk walk;
    ResultCode result = ResultCode::Success;
};

void walkStrictly(StrictWalk& strict) {
    RegionReader reader = regionReader(*strict.file, strict.region->extents, strict.walkPieces);
    strict.result = seekRegion(reader, strict.from);
    if (!failed(strict.result)) strict.result = walkDeflate(reader, strict.region->length - strict.from, strict.walk);
}

// One stream checked from the region's position from: what inflating it gave, and, where it was
// walked (always with ISA-L, or when walkAlways), where its final block starts and ends.
struct CheckedStream {
    InflateTotals totals;
    DeflateWalk walk;
    bool walked = false;
};

// ISA-L inflates for the sums while the walker, on the other core, gives zlib's verdict: a
// stream passes only when both accept it and both end at the same byte. For a short stream, or
// where no thread can be started, the two run one after the other. Without ISA-L, zlib alone does
// both (and the walker follows only where the block map is wanted).
ResultCode inflateStrictly(RegionReader& reader, const InputFindings& findings, const RegionRules& rules,
                           InflateWants wants, uint64_t from, bool walkAlways, CheckedStream& checked) {
    const uint64_t limit = findings.region.length - from;
    StrictWalk strict;
    strict.file = reader.file;
    strict.region = &findings.region;
    strict.walkPieces = rules.walk;
    strict.from = from;
    const RowWalk rows = checked.totals.rows;
    if (!isalBuiltIn()) {
        const ResultCode result = inflateFrom(reader, from, limit, wants, checked.totals);
        if (failed(result) || !walkAlways) return result;
        walkStrictly(strict);
        checked.walk = strict.walk;
        checked.walked = true;
        return strict.result;
    }
    std::jthread walker;  // joined on every way out
    try {
        if (limit >= shortestStreamWalkedBeside) walker = std::jthread(walkStrictly, std::ref(strict));
    } catch (const std::exception&) {  // refused by a system limit, or no memory for it
    }
    InflateTotals& totals = checked.totals;
    ResultCode result = seekRegion(reader, from);
    if (!failed(result)) result = inflateStream(reader, limit, wants, totals, InflateEngine::Isal);
    if (walker.joinable()) {
        walker.join();
    } else {
        walkStrictly(strict);
    }
    if (failed(strict.result)) return strict.result;
    checked.walk = strict.walk;
    checked.walked = true;
    // A stream zlib accepts and ISA-L refuses (none is known): zlib takes the sums.
    if (result == ResultCode::InflateFailed) {
        totals.rows = rows;
        return inflateFrom(reader, from, limit, wants, totals);
    }
    if (failed(result)) return result;
    if (totals.consumed != (strict.walk.endBit + 7) / 8 || totals.produced != strict.walk.produced) {
        return ResultCode::InflateFailed;
    }
    return ResultCode::Success;
}

// True where the bytes at the region's position at start another member.
bool memberFollows(RegionReader& reader, uint64_t at, const DataRegion& region, const RegionRules& rules) {
    uint8_t magic[2] = {};
    if (!rules.readMember || at > region.length || region.length - at < sizeof magic || failed(seekRegion(reader, at))) return false;
    return !failed(readRegionExactly(reader, magic, sizeof magic)) && magic[0] == 0x1F && magic[1] == 0x8B;
}

// The members' streams made one: the sums of their data one after the other, and the pieces that
// hold data (an empty member adds nothing); where none does, the first stands for them all.
struct Join {
    InflateWants wants;
    StreamSums sums;
    JoinedPiece first;
    uint32_t firstStreamCrc32 = 0;
    uint64_t size = 0;
    uint32_t crc32 = 0;
    uint32_t adler32 = adler32Start;
    uint32_t streamCrc32 = 0;
    RowWalk rows;
    ResultCode mismatch = ResultCode::Success;  // told only once every member inflated
    JoinWatch* watch = nullptr;
};

ResultCode addMember(Join& join, uint64_t start, const CheckedStream& checked) {
    const JoinedPiece piece{start, checked.walk.finalHeaderBit, checked.walk.endBit};
    if (start == 0) {
        join.first = piece;
        join.firstStreamCrc32 = checked.totals.streamCrc32;
    }
    join.rows = checked.totals.rows;
    if (checked.totals.produced == 0) return ResultCode::Success;
    try {
        join.sums.joined.push_back(piece);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
    if (join.watch && join.watch->pieceJoined) join.watch->pieceJoined(join.watch->context, piece);
    join.size += checked.totals.produced;
    join.crc32 = combineCrc32(join.crc32, checked.totals.crc32, checked.totals.produced);
    join.adler32 = combineAdler32(join.adler32, checked.totals.adler32, checked.totals.produced);
    join.streamCrc32 = combineCrc32(join.streamCrc32, checked.totals.streamCrc32, checked.totals.consumed);
    return ResultCode::Success;
}

// A stream that isn't the last ends with an empty stored block: its last byte, a byte more where
// the block's three header bits don't fit in it, then LEN and NLEN.
uint64_t joinedLength(const std::vector<JoinedPiece>& pieces) {
    uint64_t length = 0;
    for (const JoinedPiece& piece : pieces) {
        length += (piece.endBit + 7) / 8;
        if (&piece != &pieces.back()) length += (piece.endBit % 8 == 0 || piece.endBit % 8 > 5 ? 1 : 0) + 4;
    }
    return length;
}

// Checks the member whose header is at the region's position at; next is where the one after it starts.
ResultCode checkMember(RegionReader& reader, InputFindings& findings, const RegionRules& rules, uint64_t at,
                       Join& join, uint64_t& next) {
    const DataRegion& region = findings.region;
    const uint64_t base = region.extents.front().offset;
    uint64_t streamOffset = 0;
    CarriedFacts carried;
    carried.sizeIsModulo2To32 = findings.carried.sizeIsModulo2To32;
    ResultCode result = rules.readMember(*reader.file, base + at, streamOffset, carried.framingCrcWrong);
    if (failed(result)) return result;
    const uint64_t from = streamOffset - base;
    CheckedStream checked;
    checked.totals.rows = join.rows;
    result = inflateStrictly(reader, findings, rules, join.wants, from, true, checked);
    if (failed(result)) return result;
    if (checked.totals.consumed < shortestStream) return ResultCode::InflateFailed;
    result = readTrailer(reader, from + checked.totals.consumed, region, rules, carried);
    if (failed(result)) return result;
    StreamSums own;
    takeTotals(checked.totals, join.wants, own);
    if (!failed(join.mismatch)) join.mismatch = compareCarried(carried, own);
    next = from + checked.totals.consumed + region.trailerLength;
    return addMember(join, from, checked);
}

// What the walker found of one member: where its stream lies, its block map, its trailer.
struct WalkedMember {
    ResultCode result = ResultCode::Success;  // a fault here ends the members
    uint64_t from = 0;
    DeflateWalk walk;
    CarriedFacts carried;
    bool walked = false;  // until then, only where its stream starts is known
};

// Members walked on the other core, handed over in the file's order through a short queue, so that
// memory stays flat however many members there are. Each is queued as soon as its header is read,
// and marked walked once its stream and trailer are.
constexpr size_t membersQueued = 64;
struct MemberQueue {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<WalkedMember> members;
    bool done = false;
    ResultCode failure = ResultCode::Success;  // why the walking side ended early, if it did
    bool stopped = false;  // the inflating side needs no more
};

// Queues a member, under the queue's lock. False where no memory was left for it: the members end
// there, with that failure.
bool queueMember(MemberQueue& queue, const WalkedMember& member) {
    try {
        queue.members.push_back(member);
        return true;
    } catch (const std::bad_alloc&) {
        queue.failure = ResultCode::OutOfMemory;
        queue.done = true;
        return false;
    }
}

// On every way out of the inflating side, the walking side is told to stop (before it is joined).
struct MembersStopped {
    MemberQueue& queue;
    ~MembersStopped() {
        const std::lock_guard held(queue.lock);
        queue.stopped = true;
        queue.changed.notify_all();
    }
};

// A member at least this long is inflated while it is walked, as a single stream is; a shorter one
// once its walk has said where it ends, so that inflating it reads no further.
constexpr uint64_t shortestMemberInflatedBeside = uint64_t{1} << 20;

// Reads the header of the member at at: where its stream starts.
void readMemberHeader(InputFile& file, const InputFindings& findings, const RegionRules& rules, uint64_t at,
                      WalkedMember& member) {
    const uint64_t base = findings.region.extents.front().offset;
    uint64_t streamOffset = 0;
    member.carried.sizeIsModulo2To32 = findings.carried.sizeIsModulo2To32;
    member.result = rules.readMember(file, base + at, streamOffset, member.carried.framingCrcWrong);
    member.from = streamOffset - base;
}

// Walks the member's stream and reads its trailer; next is where the member after it starts.
void walkMemberStream(RegionReader& reader, const InputFindings& findings, const RegionRules& rules,
                      WalkedMember& member, uint64_t& next) {
    const DataRegion& region = findings.region;
    member.result = seekRegion(reader, member.from);
    if (!failed(member.result)) member.result = walkDeflate(reader, region.length - member.from, member.walk);
    const uint64_t consumed = (member.walk.endBit + 7) / 8;
    if (!failed(member.result) && consumed < shortestStream) member.result = ResultCode::InflateFailed;
    if (!failed(member.result)) member.result = readTrailer(reader, member.from + consumed, region, rules, member.carried);
    next = member.from + consumed + region.trailerLength;
}

void walkMembers(InputFile* file, const InputFindings* findings, const RegionRules* rules, uint64_t at,
                 MemberQueue* queue) {
    RegionReader reader = regionReader(*file, findings->region.extents, rules->walk);
    for (bool more = true; more;) {
        WalkedMember member;
        readMemberHeader(*file, *findings, *rules, at, member);
        {
            std::unique_lock held(queue->lock);
            queue->changed.wait(held, [&] { return queue->members.size() < membersQueued || queue->stopped; });
            const bool queued = !queue->stopped && queueMember(*queue, member);
            queue->changed.notify_all();
            if (!queued) return;
        }
        if (!failed(member.result)) walkMemberStream(reader, *findings, *rules, member, at);
        more = !failed(member.result) && memberFollows(reader, at, findings->region, *rules);
        const std::lock_guard held(queue->lock);
        if (queue->stopped) return;
        member.walked = true;
        queue->members.back() = member;  // only the inflating side takes members, and only walked ones
        queue->changed.notify_all();
    }
    const std::lock_guard held(queue->lock);
    queue->done = true;
    queue->changed.notify_all();
}

// ISA-L's inflate of a member from its stream's start, reading at most limit bytes.
ResultCode inflateMember(RegionReader& reader, uint64_t from, uint64_t limit, const Join& join, CheckedStream& checked) {
    checked.totals = InflateTotals{};
    checked.totals.rows = join.rows;
    const ResultCode result = seekRegion(reader, from);
    return failed(result) ? result : inflateStream(reader, limit, join.wants, checked.totals, InflateEngine::Isal);
}

// Joins a member the walker accepted, once ISA-L inflated it (zlib where ISA-L refused it).
ResultCode joinWalkedMember(RegionReader& reader, const InputFindings& findings, const WalkedMember& member,
                            ResultCode inflated, CheckedStream& checked, Join& join) {
    const uint64_t consumed = (member.walk.endBit + 7) / 8;
    ResultCode result = inflated;
    if (result == ResultCode::InflateFailed) {
        checked.totals = InflateTotals{};
        checked.totals.rows = join.rows;
        result = inflateFrom(reader, member.from, findings.region.length - member.from, join.wants, checked.totals);
    }
    if (failed(result)) return result;
    if (checked.totals.consumed != consumed || checked.totals.produced != member.walk.produced) return ResultCode::InflateFailed;
    StreamSums own;
    takeTotals(checked.totals, join.wants, own);
    if (!failed(join.mismatch)) join.mismatch = compareCarried(member.carried, own);
    checked.walk = member.walk;
    return addMember(join, member.from, checked);
}

// Takes the next member once it is walked; where members run long, inflates it meanwhile. False
// when there is none.
bool takeWalkedMember(RegionReader& reader, const InputFindings& findings, MemberQueue& queue, bool inflateBeside,
                      const Join& join, WalkedMember& member, CheckedStream& checked, ResultCode& inflated) {
    std::unique_lock held(queue.lock);
    queue.changed.wait(held, [&] { return !queue.members.empty() || queue.done; });
    if (queue.members.empty()) return false;
    const WalkedMember started = queue.members.front();
    const bool beside = inflateBeside && !started.walked && !failed(started.result);
    if (beside) {
        held.unlock();
        inflated = inflateMember(reader, started.from, findings.region.length - started.from, join, checked);
        held.lock();
    }
    queue.changed.wait(held, [&] { return queue.members.front().walked; });
    member = queue.members.front();
    queue.members.pop_front();
    queue.changed.notify_all();
    held.unlock();
    if (!beside && !failed(member.result)) {
        inflated = inflateMember(reader, member.from, (member.walk.endBit + 7) / 8, join, checked);
    }
    return true;
}

// The members from at: walked on the other core while this one inflates them in turn, each as soon
// as it is walked, or while it is walked where the one before was long. False where no thread could
// be started.
bool checkMembersBeside(RegionReader& reader, const InputFindings& findings, const RegionRules& rules, uint64_t& at,
                        uint64_t firstLength, Join& join, ResultCode& result) {
    MemberQueue queue;
    std::jthread walker;
    try {
        walker = std::jthread(walkMembers, reader.file, &findings, &rules, at, &queue);
    } catch (const std::exception&) {  // refused by a system limit, or no memory for it
        return false;
    }
    const MembersStopped stopsWalker{queue};  // destroyed before the walker is joined
    result = ResultCode::Success;
    WalkedMember member;
    CheckedStream checked;
    ResultCode inflated = ResultCode::Success;
    for (uint64_t length = firstLength;
         takeWalkedMember(reader, findings, queue, length >= shortestMemberInflatedBeside, join, member, checked, inflated);) {
        result = failed(member.result) ? member.result : joinWalkedMember(reader, findings, member, inflated, checked, join);
        length = (member.walk.endBit + 7) / 8;
        at = member.from + length + findings.region.trailerLength;
        if (failed(result)) break;
    }
    const std::lock_guard held(queue.lock);
    if (!failed(result)) result = queue.failure;
    return true;
}

// The first member is checked; the others, from at, are checked one after the other and joined.
ResultCode checkMembers(RegionReader& reader, InputFindings& findings, const RegionRules& rules, InflateWants wants,
                        const CheckedStream& first, uint64_t at, StreamSums& sums, JoinWatch* watch) {
    Join join;
    join.wants = wants;
    join.watch = watch;
    StreamSums own;
    takeTotals(first.totals, wants, own);
    join.mismatch = compareCarried(findings.carried, own);
    ResultCode result = addMember(join, 0, first);
    if (failed(result)) return result;
    if (!isalBuiltIn() || !checkMembersBeside(reader, findings, rules, at, first.totals.consumed, join, result)) {
        do {
            result = checkMember(reader, findings, rules, at, join, at);
            if (failed(result)) return result;
        } while (memberFollows(reader, at, findings.region, rules));
    }
    if (failed(result)) return result;
    if (failed(join.mismatch)) return join.mismatch;
    if (join.sums.joined.empty()) join.streamCrc32 = join.firstStreamCrc32;  // the first stands for them all
    sums.size = join.size;
    if (wants.crc32) sums.crc32 = join.crc32;
    if (wants.adler32) sums.adler32 = join.adler32;
    sums.rowLeadsValid = join.rows.leadsValid;
    sums.streamCrc32 = join.streamCrc32;
    sums.joined = std::move(join.sums.joined);
    sums.streamLength = sums.joined.empty() ? (join.first.endBit + 7) / 8 : joinedLength(sums.joined);
    return judgeTrailingBytes(reader, at, findings.region, rules, findings.warnings);
}

ResultCode checkAndVerify(RegionReader& reader, InputFindings& findings, const RegionRules& rules, OutputNeeds needs,
                          StreamSums& sums, JoinWatch* watch) {
    const DataRegion& region = findings.region;
    const InflateWants wants = checkedWants(findings.carried, needs, rules);
    CheckedStream checked;
    ResultCode result = inflateStrictly(reader, findings, rules, wants, 0, needs.joinsOthers, checked);
    if (failed(result)) return result;
    takeTotals(checked.totals, wants, sums);
    sums.streamLength = checked.totals.consumed;
    if (sums.streamLength < shortestStream) return ResultCode::InflateFailed;
    result = readTrailer(reader, sums.streamLength, region, rules, findings.carried);
    if (failed(result)) return result;
    const uint64_t after = sums.streamLength + region.trailerLength;
    if (memberFollows(reader, after, region, rules)) {
        if (watch) watch->joining = true;
        if (!checked.walked) {  // zlib alone inflated it: the block map is still wanted
            result = inflateStrictly(reader, findings, rules, wants, 0, true, checked = CheckedStream{});
            if (failed(result)) return result;
        }
        result = checkMembers(reader, findings, rules, wants, checked, after, sums, watch);
        // One piece at the region's start is a stream of its own, the empty members behind it dropped.
        if (!needs.joinsOthers && sums.joined.size() == 1 && sums.joined.front().start == 0) sums.joined.clear();
        return result;
    }
    if (needs.joinsOthers && checked.totals.produced > 0) sums.joined = {JoinedPiece{0, checked.walk.finalHeaderBit, checked.walk.endBit}};
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
    CheckedStream checked;
    result = inflateStrictly(reader, findings, rules, wants, 0, false, checked);
    if (failed(result)) return result;
    takeTotals(checked.totals, wants, sums);
    sums.streamLength = checked.totals.consumed;
    if (sums.streamLength < shortestStream) return ResultCode::InflateFailed;
    findings.carried = beforeTrailer;
    result = readTrailer(reader, sums.streamLength, region, rules, findings.carried);
    if (!failed(result)) result = compareCarried(findings.carried, sums);
    if (failed(result)) return result;
    return judgeTrailingBytes(reader, sums.streamLength + region.trailerLength, region, rules, findings.warnings);
}

// The first member walked (inflated too where inflate is set) from the region's start.
ResultCode walkFirstMember(RegionReader& reader, const InputFindings& findings, const RegionRules& rules,
                           InflateWants wants, bool inflate, CheckedStream& checked) {
    checked = CheckedStream{};
    if (inflate) return inflateStrictly(reader, findings, rules, wants, 0, true, checked);
    checked.walked = true;
    const ResultCode result = seekRegion(reader, 0);
    return failed(result) ? result : walkDeflate(reader, findings.region.length, checked.walk);
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
    CheckedStream checked;
    ResultCode result = walkFirstMember(reader, findings, rules, wants, inflate, checked);
    if (failed(result)) return result;
    sums.streamLength = (checked.walk.endBit + 7) / 8;
    if (sums.streamLength < shortestStream) return ResultCode::InflateFailed;
    several = memberFollows(reader, sums.streamLength + region.trailerLength, region, rules);
    if (several) return ResultCode::Success;
    result = readTrailer(reader, sums.streamLength, region, rules, findings.carried);
    if (failed(result)) return result;
    // The walk measured the exact size: only a CRC-32 the member lacks is inflated for.
    if (!inflate && needs.crc32AndSize && !findings.carried.crc32) {
        inflate = true;
        result = walkFirstMember(reader, findings, rules, wants, inflate, checked);
        if (failed(result)) return result;
    }
    if (inflate) takeTotals(checked.totals, wants, sums);
    sums.size = checked.walk.produced;
    CarriedFacts carried = findings.carried;
    carried.framingCrcWrong = false;  // the header's own CRC-16 is checked only when verifying
    result = compareCarried(carried, sums);
    if (failed(result)) return result;
    return judgeTrailingBytes(reader, sums.streamLength + region.trailerLength, region, rules, findings.warnings);
}

}  // namespace

ResultCode warnOfTrailingBytes(std::vector<std::string>& warnings, uint64_t count) {
    try {
        warnings.push_back("WARNING: " + std::to_string(count) + " bytes after the end of the stream were ignored.\n");
        return ResultCode::Success;
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

ResultCode checkStream(InputFile& file, InputFindings& findings, const RegionRules& rules, OutputNeeds needs,
                       bool verify, StreamSums& sums, ReadProgress progress, JoinWatch* watch) {
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
        sums = StreamSums{};
    }
    return checkAndVerify(reader, findings, rules, needs, sums, watch);
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
