// The output written while the stream is checked, where the check reads the stream through anyway:
// the copy costs no extra time then. The head goes first, as the input's own values give it, then
// the stream as long as the container's layout says. Nothing is put in place before the check is
// done; then the head is written again with the checked values, and the tail after the stream. A
// wrong guess (the stream ended elsewhere, the head changed length) costs only a second, ordinary
// write. Where the input turns out to hold several streams, the copy keeps what it wrote of the first
// one up to its final block, and the check writes the rest over what followed, joined, as it takes
// each stream in order, while the copying thread helps check the members.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/conversion.h"
#include "io/output_file.h"
#include "io/region_reader.h"
#include "stream/stream_check.h"
#include "stream/work_pool.h"

// What an output container writes before and after the stream.
using WriteFrame = ResultCode (*)(const OutputFacts& facts, OutputFile& output);

struct EarlyCopy {
    WriteFrame writeHead = nullptr;
    WriteFrame writeTail = nullptr;
    OutputFacts guess;  // the values the input carried, for the head written first
    std::string path;
    OutputTarget target = OutputTarget::NewFile;
    bool flushToDisk = false;

    std::optional<OutputFile> file;
    uint64_t headLength = 0;
    uint64_t streamLength = 0;
    uint64_t copied = 0;      // bytes of the region copied behind the head before any join
    uint64_t keptBytes = 0;   // of those, kept as the joined stream's start
    uint64_t joinedFrom = 0;  // the file's bytesWritten when the joined copy went on from there
    uint32_t streamCrc32 = 0;  // of the stream's bytes as copied
    bool wroteCheckedBytes = false;  // the very bytes the check read: no sum needs comparing
    bool complete = false;
    size_t piecesJoined = 0;  // none: the stream was copied as it stands
    std::optional<JoinedPiece> lastPiece;

    // Between the copying thread and the checking one, under lock.
    CheckWatch watch;
    std::mutex lock;
    std::condition_variable changed;
    std::atomic<bool> checkFailed = false;
    std::atomic<bool> checkOver = false;
    bool joinAsked = false;   // the check found a second member
    JoinedPiece firstPiece;   // the first piece it joined, told with joinAsked
    bool joinReady = false;   // the copy's new file is made, or failed to be (joinFailed)
    bool joinFailed = false;
    RegionReader joinedStream;  // set before joinReady
    // The checking thread's while it runs: the joined pieces not yet written, and the writes.
    std::vector<JoinedPiece> pending;
    bool joinGivenUp = false;
    std::vector<uint8_t> gathered;
    uint64_t flushedAt = 0;
    bool feedFailed = false;  // a write of the bytes the check handed over failed
};

// The check, run on a thread of its own; watch learns of the members it joins.
struct CheckRun {
    ResultCode (*run)(void* context, CheckWatch& watch) = nullptr;
    void* context = nullptr;
};

// Runs the check on a second thread while this one copies stream into copy's file (and, if the
// stream turns out to be several, helps the pool check them). False where no thread could be started:
// then nothing was run. result is the check's.
bool checkWhileCopying(EarlyCopy& copy, RegionReader stream, WorkPool& pool, CheckRun check, ResultCode& result);

// Runs the check on this thread, the copy written from the very bytes it reads (the first stream's,
// where it verifies): with no second thread, the stream is still read once. A failed write leaves
// the check alone; the output is then written anew after it, which tells the failure.
ResultCode checkWhileFeeding(EarlyCopy& copy, CheckRun check);

// Writes the head again with the checked values, and the tail. False when the copy can't be
// finished as the checked values are: the output is written anew.
bool finishEarlyCopy(EarlyCopy& copy, const OutputFacts& facts);
