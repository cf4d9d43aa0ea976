#include "driver/early_copy.h"

#include <algorithm>
#include <exception>
#include <new>
#include <thread>

#include "io/bytes.h"
#include "stream/byte_sink.h"

namespace {

constexpr uint64_t earlyCopyPiece = uint64_t{1} << 20;
// Small members (BGZF's are 64 KiB of data) would cost several writes each: their bytes are
// gathered first.
constexpr size_t joinedBytesGathered = size_t{1} << 20;
constexpr uint64_t flushedEvery = uint64_t{8} << 20;
// Pieces the check joins before the copy's new file is made wait for it, this many at most (24 KiB).
constexpr size_t mostPiecesPending = 1024;

ResultCode startCopy(EarlyCopy& copy) {
    OutputFile& file = copy.file.emplace();
    ResultCode result = createOutputFile(copy.path, file, copy.target);
    if (!failed(result)) result = copy.writeHead(copy.guess, file);
    file.flushToDisk = copy.flushToDisk && copy.target != OutputTarget::StandardOutput;
    copy.headLength = file.bytesWritten;
    copy.streamCrc32 = 0;
    return result;
}

// The copy's writing to the disk is started every few megabytes, so that the flush at its end finds
// little left to wait for: a flush that waited would hold up the output, or the thread that hands out
// the members.
void startFlushingOnTheWay(EarlyCopy& copy) {
    if (copy.file->bytesWritten - copy.flushedAt < flushedEvery) return;
    startFlushingOutput(*copy.file);
    copy.flushedAt = copy.file->bytesWritten;
}

ResultCode writeGathered(EarlyCopy& copy) {
    const ResultCode result = writeBytes(*copy.file, copy.gathered.data(), copy.gathered.size());
    copy.gathered.clear();
    return result;
}

ResultCode gather(void* context, const uint8_t* data, size_t count) {
    EarlyCopy& copy = *static_cast<EarlyCopy*>(context);
    if (copy.gathered.size() + count > joinedBytesGathered) {
        const ResultCode result = writeGathered(copy);
        if (failed(result)) return result;
    }
    if (count >= joinedBytesGathered) return writeBytes(*copy.file, data, count);
    copy.gathered.insert(copy.gathered.end(), data, data + count);  // within the room reserved
    return ResultCode::Success;
}

// On the checking thread: asks for the joined copy at the first piece; true once it is ready.
bool joinFileReady(EarlyCopy& copy, const JoinedPiece& piece) {
    const std::lock_guard held(copy.lock);
    if (!copy.joinAsked) {
        copy.joinAsked = true;
        copy.firstPiece = piece;
        copy.changed.notify_all();
    }
    return copy.joinReady && !copy.joinFailed;
}

// Each piece is written up to its final block, and the one before it to its end, now that this one
// shows it wasn't the last.
ResultCode writePiece(EarlyCopy& copy, const JoinedPiece& piece) {
    ByteSink sink{gather, &copy, nullptr};
    if (copy.lastPiece) {
        const ResultCode result = writeJoinedPieceEnd(copy.joinedStream, *copy.lastPiece, false, sink);
        if (failed(result)) return result;
    }
    JoinedPiece from = piece;  // the first goes on where the bytes the first copy kept end
    if (copy.piecesJoined == 0) {
        from.start += copy.keptBytes;
        from.finalHeaderBit -= 8 * copy.keptBytes;
        from.endBit -= 8 * copy.keptBytes;
    }
    ResultCode result = writeJoinedPieceStart(copy.joinedStream, from, sink);
    copy.lastPiece = piece;
    ++copy.piecesJoined;
    if (!failed(result)) startFlushingOnTheWay(copy);
    return result;
}

// The pieces that waited for the file; a failed write ends the joined copy, not the check.
void writePending(EarlyCopy& copy) {
    for (const JoinedPiece& piece : copy.pending) {
        if (!copy.joinGivenUp && failed(writePiece(copy, piece))) copy.joinGivenUp = true;
    }
    copy.pending.clear();
}

// The watch's hook, on the checking thread, which never waits for the copying one: a piece that
// comes before the file is made waits in a list as long as the room kept for it.
void copyJoinedPiece(void* context, const JoinedPiece& piece) {
    EarlyCopy& copy = *static_cast<EarlyCopy*>(context);
    try {
        if (copy.pending.capacity() == 0) copy.pending.reserve(mostPiecesPending);
    } catch (const std::bad_alloc&) {
        copy.joinGivenUp = true;
    }
    if (copy.joinGivenUp || copy.pending.size() == mostPiecesPending) {
        copy.joinGivenUp = true;
        return;
    }
    copy.pending.push_back(piece);  // within the room reserved
    if (joinFileReady(copy, piece)) writePending(copy);
}

// The last piece to its end, once the check is over.
void finishJoinedCopy(EarlyCopy& copy) {
    if (!copy.joinReady || copy.joinFailed || copy.checkFailed) return;
    writePending(copy);
    ByteSink sink{gather, &copy, nullptr};
    if (copy.joinGivenUp || !copy.lastPiece || failed(writeJoinedPieceEnd(copy.joinedStream, *copy.lastPiece, true, sink)) ||
        failed(writeGathered(copy))) {
        return;
    }
    copy.streamLength = copy.keptBytes + (copy.file->bytesWritten - copy.joinedFrom);
    copy.complete = !failed(flushOutputFile(*copy.file));
}

// Reads count bytes for the reader's watch to sum, and nothing else.
ResultCode readToSum(RegionReader& reader, uint64_t count) {
    std::vector<uint8_t> buffer;
    ResultCode result = allocateBuffer(buffer, static_cast<size_t>(std::min<uint64_t>(count, 256 * 1024)));
    while (count > 0 && !failed(result)) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(count, buffer.size()));
        result = readRegionExactly(reader, buffer.data(), piece);
        count -= piece;
    }
    return result;
}

// The joined stream is the region's bytes as they stand up to the first piece's final block, where
// that piece starts the region: what the first copy wrote of them stays (its sum is taken again
// where the copy went further), and the joined copy goes on from there, over what followed.
ResultCode keepCopiedStart(EarlyCopy& copy, const JoinedPiece& first) {
    const uint64_t keep = first.start == 0 ? std::min(copy.copied, first.finalHeaderBit / 8) : 0;
    if (keep < copy.copied) {
        copy.streamCrc32 = 0;
        ResultCode result = seekRegion(copy.joinedStream, 0);
        if (!failed(result)) result = readToSum(copy.joinedStream, keep);
        if (failed(result)) return result;
    }
    copy.keptBytes = keep;
    copy.joinedFrom = copy.file->bytesWritten;
    return seekOutput(*copy.file, copy.headLength + keep);
}

// Waits until the check is over or asks for a join; true for a join, whose copy is then ready.
bool prepareJoin(EarlyCopy& copy, const RegionReader& start) {
    JoinedPiece first;
    {
        std::unique_lock held(copy.lock);
        copy.changed.wait(held, [&] { return copy.checkOver || copy.joinAsked; });
        if (!copy.joinAsked) return false;
        first = copy.firstPiece;
    }
    copy.complete = false;
    copy.joinedStream = start;
    bool made = !failed(keepCopiedStart(copy, first));
    try {
        copy.gathered.reserve(joinedBytesGathered);
    } catch (const std::bad_alloc&) {
        made = false;
    }
    const std::lock_guard held(copy.lock);
    copy.joinFailed = !made;
    copy.joinReady = true;
    return made;
}

// The copy is flushed to the disk while the check still runs; a failed flush (whose error a later one
// may not report again) leaves it incomplete, so that the output is written anew.
void copyEarly(EarlyCopy& copy, RegionReader stream, WorkPool& pool) {
    try {
        stream.watch = summingWatch(copy.streamCrc32);
        const RegionReader start = stream;
        if (failed(startCopy(copy))) return;
        copy.streamLength = copy.guess.streamLength;
        uint64_t left = copy.guess.streamLength;
        while (left > 0 && !copy.checkFailed && !copy.watch.joining) {
            const uint64_t piece = std::min(left, earlyCopyPiece);
            if (failed(copyRegion(stream, piece, *copy.file))) return;
            left -= piece;
            copy.copied += piece;
        }
        copy.complete = left == 0 && !copy.checkFailed && !failed(flushOutputFile(*copy.file));
        if (prepareJoin(copy, start)) helpPool(pool, copy.checkOver);
    } catch (const std::bad_alloc&) {
        copy.complete = false;
    }
}

void endCheck(EarlyCopy& copy, ResultCode result, WorkPool& pool) {
    {
        const std::lock_guard held(copy.lock);
        copy.checkFailed = failed(result);
        copy.checkOver = true;
        copy.changed.notify_all();
    }
    wakePool(pool);
}

// Handed the stream's bytes by the check, in order, on the checking thread, which waits for the
// flush at the end.
void feedCopy(void* context, const uint8_t* bytes, size_t count) {
    EarlyCopy& copy = *static_cast<EarlyCopy*>(context);
    if (!copy.feedFailed && failed(writeBytes(*copy.file, bytes, count))) copy.feedFailed = true;
    copy.copied += count;
    startFlushingOnTheWay(copy);
}

}  // namespace

ResultCode checkWhileFeeding(EarlyCopy& copy, CheckRun check) {
    const bool started = !failed(startCopy(copy));
    if (started) copy.watch.firstStreamBytes = StreamBytesSeen{feedCopy, &copy};
    const ResultCode result = check.run(check.context, copy.watch);
    copy.streamLength = copy.copied;
    copy.complete = started && !copy.feedFailed && !failed(result) && !copy.watch.joining && !failed(flushOutputFile(*copy.file));
    copy.wroteCheckedBytes = copy.complete;  // the stream's own, every one as the check took it
    return result;
}

bool checkWhileCopying(EarlyCopy& copy, RegionReader stream, WorkPool& pool, CheckRun check, ResultCode& result) {
    copy.watch.pieceJoined = copyJoinedPiece;
    copy.watch.context = &copy;
    std::jthread checker;  // joined on every way out
    ++pool.threadsBusy;  // before the checker may start the pool's threads
    try {
        const CleanupSignalsHeld held;  // only this thread, which makes the files, runs the cleanup
        checker = std::jthread([&] {
            result = check.run(check.context, copy.watch);
            endCheck(copy, result, pool);
        });
    } catch (const std::exception&) {  // refused by a system limit, or no memory for it
        --pool.threadsBusy;
        return false;
    }
    copyEarly(copy, stream, pool);
    checker.join();
    --pool.threadsBusy;
    finishJoinedCopy(copy);
    return true;
}

bool finishEarlyCopy(EarlyCopy& copy, const OutputFacts& facts) {
    if (!copy.file || !copy.complete || facts.framedAsStoredBlocks || facts.streamLength != copy.streamLength) return false;
    // The pieces the copy joined are the check's, in its order: the same number, the same last one.
    const size_t pieces = facts.joined ? facts.joined->size() : 0;
    if (pieces != copy.piecesJoined) return false;
    if (facts.joined && (facts.joined->back().start != copy.lastPiece->start || facts.joined->back().endBit != copy.lastPiece->endBit)) {
        return false;
    }
    OutputFile& file = *copy.file;
    const uint64_t before = file.bytesWritten;
    if (failed(seekOutput(file, 0)) || failed(copy.writeHead(facts, file))) return false;
    if (file.bytesWritten - before != copy.headLength) return false;
    if (failed(seekOutput(file, copy.headLength + copy.streamLength)) || failed(copy.writeTail(facts, file))) return false;
    // A joined stream written over the first copy may end before it did.
    return pieces == 0 || !failed(endOutputHere(file));
}
