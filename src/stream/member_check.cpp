// The members of a container of several (GZIP): each checked as one stream is, and all joined into
// one. A member's start is known only once the one before it is decoded, but where a header hints
// where the next member starts (BGZF), the next is started on another thread meanwhile; its start
// is held against the true one before its result is used, so a wrong hint costs only time.
#include <algorithm>
#include <new>
#include <optional>
#include <vector>

#include "stream/check_steps.h"
#include "stream/checksum.h"
#include "stream/deflate_walk.h"

namespace {

// The members' streams made one: the sums of their data one after the other, and the pieces that
// hold data (an empty member adds nothing); where none does, the first stands for them all.
struct Join {
    InflateWants wants;
    std::vector<JoinedPiece> pieces;
    JoinedPiece first;
    uint32_t firstStreamCrc32 = 0;
    uint64_t size = 0;
    uint32_t crc32 = 0;
    uint32_t adler32 = adler32Start;
    uint32_t streamCrc32 = 0;
    RowWalk rows;
    ResultCode mismatch = ResultCode::Success;  // told only once every member inflated
    CheckWatch* watch = nullptr;
};

ResultCode addMember(Join& join, uint64_t start, const InflateTotals& totals) {
    const JoinedPiece piece{start, totals.walk.finalHeaderBit, totals.walk.endBit};
    if (start == 0) {
        join.first = piece;
        join.firstStreamCrc32 = totals.streamCrc32;
    }
    join.rows = totals.rows;
    const uint64_t produced = totals.walk.produced;
    if (produced == 0) return ResultCode::Success;
    try {
        join.pieces.push_back(piece);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
    if (join.watch && join.watch->pieceJoined) join.watch->pieceJoined(join.watch->context, piece);
    join.size += produced;
    join.crc32 = combineCrc32(join.crc32, totals.crc32, produced);
    join.adler32 = combineAdler32(join.adler32, totals.adler32, produced);
    join.streamCrc32 = combineCrc32(join.streamCrc32, totals.streamCrc32, endByte(totals.walk.endBit));
    return ResultCode::Success;
}

// Each stream but the last ends in the seam that joins it to the next.
uint64_t joinedLength(const std::vector<JoinedPiece>& pieces) {
    uint64_t length = 0;
    for (const JoinedPiece& piece : pieces) {
        length += endByte(piece.endBit);
        if (&piece != &pieces.back()) length += joinSeamLength(piece.endBit) - 1;
    }
    return length;
}

// One member, checked on whichever thread takes it: its header is read before it is handed out.
struct MemberCheck {
    PoolJob job;
    InputFile* file = nullptr;
    const InputFindings* findings = nullptr;
    const RegionRules* rules = nullptr;
    InflateWants wants;
    uint64_t at = 0;  // where its header starts in the region
    uint64_t firstLength = 0;  // where the first member is checked here too: where the next starts
    MemberStart start;
    ResultCode result = ResultCode::Success;
    CarriedFacts carried;
    InflateTotals totals;
    ReadWindow* window = nullptr;  // its place's, kept from the member checked there before
};

uint64_t streamStart(const MemberCheck& member) {
    return member.start.streamOffset - member.findings->region.extents.front().offset;
}

// The member's stream and trailer, with a reader of its own (reads at an offset are safe from
// several threads). Its window is its place's: the members checked there before read the bytes
// around this one already, so a file of small members costs a read per window, not per member.
void checkMemberStream(void* context) {
    MemberCheck& member = *static_cast<MemberCheck*>(context);
    const DataRegion& region = member.findings->region;
    RegionReader reader = regionReader(*member.file, region.extents, member.rules->walk);
    reader.window = std::move(*member.window);
    const uint64_t from = streamStart(member);
    // A hinted member is read whole at once, with a few bytes past its trailer, so that the decoder
    // needn't read again for the last bits it looks ahead at.
    const uint64_t hintedEnd = member.at + member.start.hintedLength;
    if (member.start.hintedLength > 0 && hintedEnd > from) reader.expected = hintedEnd - from + 64;
    member.result = inflateFrom(reader, from, region.length - from, member.wants, member.totals);
    const uint64_t length = endByte(member.totals.walk.endBit);
    if (!failed(member.result) && length < shortestStream) member.result = ResultCode::InflateFailed;
    if (!failed(member.result)) member.result = readTrailer(reader, from + length, region, *member.rules, member.carried);
    *member.window = std::move(reader.window);
}

// The members handed out and not yet taken, in the file's order; at most as many as the pool's
// threads can work on, with three times as many waiting behind them, so that a thread finishing a
// member finds the next queued even while the one that hands them out is busy joining or writing.
// Every one is settled on the way out. Each place keeps a window for the members checked in it.
struct MembersOut {
    WorkPool& pool;
    std::vector<MemberCheck> members;
    std::vector<ReadWindow> windows;
    size_t first = 0;
    size_t count = 0;
    ~MembersOut() { settleAll(); }
    MemberCheck& at(size_t index) { return members[(first + index) % members.size()]; }
    void settleAll() {
        for (; count > 0; --count, first = (first + 1) % members.size()) settleJob(pool, at(0).job);
    }
};

// The first member's header was read with the container: its stream starts the region, and the
// walk that found its end says where the next member starts.
ResultCode firstMemberStart(const MemberCheck& model, MemberStart& start) {
    start.streamOffset = model.findings->region.extents.front().offset;
    start.headerCrcWrong = model.findings->carried.framingCrcWrong;
    start.hintedLength = model.firstLength;
    return ResultCode::Success;
}

// Reads the header at the region's position at and hands the member out, to go on from rows; the
// member's length where its header hints it, else 0.
uint64_t handOut(MembersOut& out, const MemberCheck& model, uint64_t at, const RowWalk& rows) {
    const size_t place = (out.first + out.count++) % out.members.size();
    MemberCheck& member = out.members[place];
    member = model;
    member.job = PoolJob{checkMemberStream, &member};
    member.window = &out.windows[place];
    member.at = at;
    member.carried.sizeIsModulo2To32 = model.findings->carried.sizeIsModulo2To32;
    member.totals.rows = rows;
    const uint64_t base = model.findings->region.extents.front().offset;
    member.result = at == 0 ? firstMemberStart(model, member.start) : model.rules->readMember(*model.file, base + at, member.start);
    member.carried.framingCrcWrong = member.start.headerCrcWrong;
    const uint64_t hintedLength = member.start.hintedLength;
    // Once queued, the member is the thread's that takes it until it is done.
    const ResultCode queued = failed(member.result) ? member.result : queueJob(out.pool, member.job);
    if (failed(queued)) {
        member.result = queued;
        member.job.done = true;  // not queued: nothing left to run
    }
    return hintedLength;
}

// Hands out members from hinted while there is room, each header saying where the next one starts
// (rows are walked in order: then one at a time). hinted ends empty where no header says.
void handOutWhileHinted(MembersOut& out, const MemberCheck& model, std::optional<uint64_t>& hinted, const Join& join) {
    while (hinted && out.count < out.members.size()) {
        const uint64_t length = handOut(out, model, *hinted, join.rows);
        if (out.count == 2) startPoolThreads(out.pool);
        hinted = join.wants.rows || length == 0 ? std::nullopt : std::optional<uint64_t>(*hinted + length);
    }
}

// Where the member after this one starts.
uint64_t memberEnd(const MemberCheck& member) {
    return streamStart(member) + endByte(member.totals.walk.endBit) + member.findings->region.trailerLength;
}

// Takes a member checked into the join.
ResultCode joinMember(const MemberCheck& member, Join& join) {
    StreamSums own;
    takeTotals(member.totals, join.wants, own);
    if (!failed(join.mismatch)) join.mismatch = compareCarried(member.carried, own);
    return addMember(join, streamStart(member), member.totals);
}

// Takes the members back in the file's order, from at, and starts again from the true start where
// a hint was wrong. The next member is handed out before this one is joined (its bytes may be
// written then), so that another thread checks it meanwhile. at ends where the last member does.
ResultCode checkLaterMembers(RegionReader& reader, const MemberCheck& model, uint64_t& at, Join& join, MembersOut& out) {
    std::optional<uint64_t> hinted = at;
    for (;;) {
        handOutWhileHinted(out, model, hinted, join);
        MemberCheck& member = out.at(0);
        waitForJob(out.pool, member.job);
        if (member.at != at) {  // a wrong hint: every member handed out after it starts again
            out.settleAll();
            hinted = at;
            continue;
        }
        const MemberCheck taken = member;  // its place may be handed out again below
        out.first = (out.first + 1) % out.members.size();
        --out.count;
        if (failed(taken.result)) return taken.result;
        const uint64_t next = memberEnd(taken);
        const bool more = memberFollows(reader, next, model.findings->region, *model.rules);
        if (more && out.count == 0 && !hinted) hinted = next;
        if (!join.wants.rows) handOutWhileHinted(out, model, hinted, join);
        const ResultCode result = joinMember(taken, join);
        if (failed(result)) return result;
        at = next;
        if (reader.progress.report) reader.progress.report(reader.progress.context, at, reader.progress.total);
        if (!more) return ResultCode::Success;
    }
}

}  // namespace

ResultCode checkMembers(RegionReader& reader, InputFindings& findings, const RegionRules& rules, InflateWants wants,
                        const InflateTotals* first, uint64_t at, StreamSums& sums, CheckWatch* watch, WorkPool& pool) {
    Join join;
    join.wants = wants;
    join.watch = watch;
    ResultCode result = ResultCode::Success;
    if (first) {
        StreamSums own;
        takeTotals(*first, wants, own);
        join.mismatch = compareCarried(findings.carried, own);
        result = addMember(join, 0, *first);
        if (failed(result)) return result;
    }
    MembersOut out{pool, {}, {}};
    try {
        out.members.resize(4 * std::max(pool.threadsAllowed, 1u) - 1);
        out.windows.resize(out.members.size());
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
    MemberCheck model;
    model.file = reader.file;
    model.findings = &findings;
    model.rules = &rules;
    model.wants = wants;
    model.firstLength = first ? 0 : at;
    if (!first) at = 0;
    result = checkLaterMembers(reader, model, at, join, out);
    out.settleAll();
    if (failed(result)) return result;
    if (failed(join.mismatch)) return join.mismatch;
    if (join.pieces.empty()) join.streamCrc32 = join.firstStreamCrc32;  // the first stands for them all
    sums.size = join.size;
    if (wants.crc32) sums.crc32 = join.crc32;
    if (wants.adler32) sums.adler32 = join.adler32;
    sums.rowLeadsValid = join.rows.leadsValid;
    sums.streamCrc32 = join.streamCrc32;
    sums.joined = std::move(join.pieces);
    sums.streamLength = sums.joined.empty() ? endByte(join.first.endBit) : joinedLength(sums.joined);
    return judgeTrailingBytes(reader, at, findings.region, rules, findings.warnings);
}
