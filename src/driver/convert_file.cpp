#include "driver/convert_file.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "containers/gzip_container.h"
#include "containers/png_container.h"
#include "containers/zip_container.h"
#include "containers/zlib_container.h"
#include "io/local_time.h"
#include "io/output_file.h"
#include "io/path_names.h"
#include "io/standard_streams.h"
#include "stream/byte_sink.h"
#include "stream/checksum.h"
#include "stream/stored_blocks.h"
#include "stream/stream_check.h"
#include "stream/timestamp.h"

namespace {

struct InputContainer {
    FormatCode format;
    bool (*claims)(const uint8_t* head, size_t headLength);  // decided by the first bytes
    ResultCode (*read)(InputFile& input, const DriverSettings& settings, InputFindings& findings);
    const RegionRules* region;
};

struct OutputContainer {
    FormatCode format;
    const char* extension;
    OutputNeeds needs;
    // What comes before and after the stream; null where the layout depends on the stream's bytes
    // (PNG sums them into its chunks' CRCs) and write does it all.
    ResultCode (*writeHead)(const OutputFacts& facts, OutputFile& output);
    ResultCode (*writeTail)(const OutputFacts& facts, OutputFile& output);
    ResultCode (*write)(const OutputFacts& facts, PngHeader& header, RegionReader& stream, OutputFile& output);
};

ResultCode readZip(InputFile& input, const DriverSettings& settings, InputFindings& findings) {
    return readZipContainer(input, settings.entryName ? &*settings.entryName : nullptr, findings);
}
ResultCode readGzip(InputFile& input, const DriverSettings&, InputFindings& findings) {
    return readGzipContainer(input, findings);
}
ResultCode readZlib(InputFile& input, const DriverSettings&, InputFindings& findings) {
    return readZlibContainer(input, findings);
}
ResultCode readPng(InputFile& input, const DriverSettings& settings, InputFindings& findings) {
    return readPngContainer(input, settings.verify, findings);
}

// The magics first; a ZLIB header, two bytes of which one in 31 pairs passes, after them.
const std::array inputContainers = {
    InputContainer{FormatCode::Zip, claimsZipContainer, readZip, &zipRegionRules},
    InputContainer{FormatCode::Gzip, claimsGzipContainer, readGzip, &gzipRegionRules},
    InputContainer{FormatCode::Png, claimsPngContainer, readPng, &pngRegionRules},
    InputContainer{FormatCode::Zlib, claimsZlibContainer, readZlib, &zlibRegionRules},
};

constexpr OutputNeeds zipNeeds{.crc32AndSize = true, .exactSize = true};
constexpr OutputNeeds gzipNeeds{.crc32AndSize = true};
constexpr OutputNeeds zlibNeeds{.adler32 = true};

// The first row is the default, and stands in for any format not listed.
const std::array outputContainers = {
    OutputContainer{FormatCode::Zip, ".zip", zipNeeds, writeZipHead, writeZipTail, nullptr},
    OutputContainer{FormatCode::Gzip, ".gz", gzipNeeds, writeGzipHead, writeGzipTail, nullptr},
    OutputContainer{FormatCode::GzipWithName, ".gz", gzipNeeds, writeGzipHead, writeGzipTail, nullptr},
    OutputContainer{FormatCode::Zlib, ".zlib", zlibNeeds, writeZlibHead, writeZlibTail, nullptr},
    OutputContainer{FormatCode::Png, ".png", zlibNeeds, nullptr, nullptr, writePngContainer},
};

const OutputContainer& outputContainerFor(FormatCode format) {
    for (const OutputContainer& container : outputContainers) {
        if (container.format == format) return container;
    }
    return outputContainers.front();
}

ResultCode detectInputContainer(InputFile& input, const InputContainer*& detected) {
    uint8_t head[4] = {};
    size_t got = 0;
    const ResultCode result = readUpTo(input, 0, head, sizeof head, got);
    if (failed(result)) return result;
    for (const InputContainer& container : inputContainers) {
        detected = &container;
        if (container.claims(head, got)) return ResultCode::Success;
    }
    // Unclaimed, it may still be a ZIP archive with something in front of it, as unzip reads it.
    detected = &inputContainers.front();
    return holdsZipEndRecord(input) ? ResultCode::Success : ResultCode::UnknownFormat;
}

// Every value the writer needs: what the data says, else what the input carried, else what the
// path and the clock give.
OutputFacts resolveOutputFacts(const std::string& namedAfter, const OutputContainer& output,
                               const CarriedFacts& carried, const StreamSums& sums) {
    OutputFacts facts;
    facts.format = output.format;
    fillOutputSums(carried, sums, facts);
    facts.payloadLength = sums.streamLength;
    facts.streamLength = sums.streamLength;
    if (!sums.joined.empty()) facts.joined = &sums.joined;
    if (carried.payloadIsStored) {
        facts.entryIsStored = output.format == FormatCode::Zip;
        facts.framedAsStoredBlocks = !facts.entryIsStored;
        if (facts.framedAsStoredBlocks) facts.streamLength = storedBlocksLength(sums.streamLength);
    }
    facts.unixTime = carried.unixTime ? *carried.unixTime : currentUnixTime();
    facts.dosTime = carried.dosTime ? *carried.dosTime : unixToDosTime(facts.unixTime);
    facts.name = storedNameFor(carried.name, namedAfter);
    const bool nameCarried = carried.name && !cleanZipName(*carried.name).empty();
    facts.nameIsUtf8 = nameCarried ? carried.nameIsUtf8 : std::nullopt;
    facts.permissions = carried.permissions.value_or(facts.permissions);
    return facts;
}

bool isStandardInput(const std::string& inputPath) {
    return inputPath == standardInputPath;
}

void showProgress(void* line, uint64_t done, uint64_t total) {
    updateProgressLine(*static_cast<ProgressLine*>(line), done, total);
}

// A ZIP entry made from a file gets the file's permissions where the input didn't carry its own;
// standard input has none, and keeps what a new file gets.
void takeFilePermissions(const InputFile& input, InputFindings& findings) {
    if (!findings.carried.permissions && input.stamp) findings.carried.permissions = input.stamp->permissions & 0777;
}

// Opens the input path ("-": standard input, staged) and reads its container.
ResultCode readInput(const std::string& inputPath, InputFile& input, const DriverSettings& settings,
                     const InputContainer*& container, InputFindings& findings) {
    ResultCode result = isStandardInput(inputPath) ? stageStandardInput(input) : openInputFile(inputPath, input);
    if (!failed(result)) result = detectInputContainer(input, container);
    if (!failed(result)) result = container->read(input, settings, findings);
    takeFilePermissions(input, findings);
    return result;
}

ResultCode checkInput(InputFile& input, const DriverSettings& settings, OutputNeeds needs,
                      const InputContainer& container, InputFindings& findings, StreamSums& sums, FileReport& report,
                      JoinWatch* watch = nullptr) {
    try {
        // -q keeps the console to warnings and errors: no progress line either.
        const ReadProgress progress = settings.quiet ? ReadProgress{} : ReadProgress{showProgress, &report.progress};
        return checkStream(input, findings, *container.region, needs, settings.verify, sums, progress, watch);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

// The CRC-32 of what a reader reads, to hold the stream written against the stream checked.
void sumRead(void* crc, const uint8_t* bytes, size_t count) {
    *static_cast<uint32_t*>(crc) = updateCrc32(*static_cast<uint32_t*>(crc), bytes, count);
}

// Where the stream's bytes were all checked, the bytes written must be those: another program
// writing the input in between would otherwise slip unchecked bytes into the output.
bool comparesWrittenStream(const DriverSettings& settings, const StreamSums& sums) {
    return settings.verify && sums.streamCrc32.has_value();
}

ResultCode commitOutput(OutputFile& file, const InputFile& input, const DriverSettings& settings) {
    file.flushToDisk = settings.flushToDisk;
    file.stamp = input.stamp;
    return commitOutputFile(file);
}

// While a large stream is checked, its bytes are copied into the temporary output on the other core:
// first the head as the input's own values give it, then the stream as long as the container's layout
// says. Nothing is put in place before the check is done; then the head is written again with the
// checked values and the tail after the stream. A wrong guess (the stream ended elsewhere, the head
// changed length) costs only a second, ordinary write. The copy stops as soon as the check fails.
// Where the input turns out to hold several streams, the copy starts again in a new file and writes
// them joined, each as the check hands it over, once the next one (or the check's end) shows whether
// it is the last.
constexpr uint64_t smallestStreamCopiedEarly = uint64_t{1} << 20;
constexpr uint64_t earlyCopyPiece = uint64_t{4} << 20;
// The pieces are handed over in batches, so that the copy wakes seldom on a core the check needs:
// when this many bytes or half the queue's pieces wait, or the check is over. The copy is flushed to
// the disk on the way, so that little is left to flush at the end.
constexpr size_t joinedPiecesQueued = 1024;  // memory stays flat (24 KiB) however many members there are
constexpr uint64_t joinedBytesBatched = uint64_t{4} << 20;
constexpr uint64_t joinedBytesFlushed = uint64_t{32} << 20;

struct EarlyCopy {
    std::optional<OutputFile> file;
    uint64_t headLength = 0;
    uint64_t streamLength = 0;
    uint32_t streamCrc32 = 0;  // of the stream's bytes as copied
    bool complete = false;
    size_t piecesJoined = 0;  // none: the stream was copied as it stands
    JoinedPiece lastPiece;
    std::atomic<bool> checkFailed = false;
    JoinWatch watch;
    // The pieces the check has joined and the copy not yet taken; the rest under the same lock.
    std::mutex lock;
    std::condition_variable changed;
    std::deque<JoinedPiece> pieces;
    uint64_t queuedBytes = 0;
    bool checkDone = false;
    bool stopped = false;  // the copy takes no more pieces
};

// On the checking thread: waits while the queue is full, drops the piece once the copy has stopped.
void handOverPiece(void* context, const JoinedPiece& piece) {
    EarlyCopy& copy = *static_cast<EarlyCopy*>(context);
    std::unique_lock held(copy.lock);
    copy.changed.wait(held, [&] { return copy.pieces.size() < joinedPiecesQueued || copy.stopped; });
    if (copy.stopped) return;
    try {
        copy.pieces.push_back(piece);
    } catch (const std::bad_alloc&) {  // the copy then joins fewer pieces than the check: it is written anew
        return;
    }
    copy.queuedBytes += (piece.endBit + 7) / 8;
    if (copy.queuedBytes >= joinedBytesBatched || copy.pieces.size() >= joinedPiecesQueued / 2) copy.changed.notify_all();
}

void endCheck(EarlyCopy& copy, ResultCode result) {
    const std::lock_guard held(copy.lock);
    copy.checkFailed = failed(result);
    copy.checkDone = true;
    copy.changed.notify_all();
}

// However the copy ends, the checking thread must not wait for it.
struct PiecesRefused {
    EarlyCopy& copy;
    ~PiecesRefused() {
        const std::lock_guard held(copy.lock);
        copy.stopped = true;
        copy.changed.notify_all();
    }
};

// The pieces the check joined since the last batch: none once the check is over and all were taken,
// or where it failed.
std::deque<JoinedPiece> takeBatch(EarlyCopy& copy) {
    std::unique_lock held(copy.lock);
    copy.changed.wait(held, [&] {
        return copy.queuedBytes >= joinedBytesBatched || copy.pieces.size() >= joinedPiecesQueued / 2 || copy.checkDone;
    });
    std::deque<JoinedPiece> batch;
    if (copy.checkFailed) return batch;
    batch.swap(copy.pieces);
    copy.queuedBytes = 0;
    copy.changed.notify_all();
    return batch;
}

ResultCode startCopy(const OutputContainer& output, const OutputFacts& guess, const std::string& path,
                     OutputTarget target, bool flushToDisk, EarlyCopy& copy) {
    copy.file.reset();  // a file copied before goes before another is made
    OutputFile& file = copy.file.emplace();
    ResultCode result = createOutputFile(path, file, target);
    if (!failed(result)) result = output.writeHead(guess, file);
    file.flushToDisk = flushToDisk && target != OutputTarget::StandardOutput;
    copy.headLength = file.bytesWritten;
    copy.streamCrc32 = 0;
    return result;
}

// Small members (BGZF's are 64 KiB of data) would cost several writes each: their bytes are
// gathered first.
constexpr size_t joinedBytesGathered = size_t{1} << 20;
struct GatheredWrites {
    OutputFile& file;
    std::vector<uint8_t> bytes;
};

ResultCode writeGathered(GatheredWrites& gathered) {
    const ResultCode result = writeBytes(gathered.file, gathered.bytes.data(), gathered.bytes.size());
    gathered.bytes.clear();
    return result;
}

ResultCode gather(void* context, const uint8_t* data, size_t count) {
    GatheredWrites& gathered = *static_cast<GatheredWrites*>(context);
    if (gathered.bytes.size() + count > joinedBytesGathered) {
        const ResultCode result = writeGathered(gathered);
        if (failed(result)) return result;
    }
    if (count >= joinedBytesGathered) return writeBytes(gathered.file, data, count);
    gathered.bytes.insert(gathered.bytes.end(), data, data + count);
    return ResultCode::Success;
}

// Each piece is written up to its final block as it comes, and the rest once the next one shows it
// isn't the last; the last, once the check passed.
void copyJoined(RegionReader stream, std::deque<JoinedPiece> batch, EarlyCopy& copy) {
    GatheredWrites gathered{*copy.file, {}};
    gathered.bytes.reserve(joinedBytesGathered);
    ByteSink sink{gather, &gathered, nullptr};
    std::optional<JoinedPiece> held;
    size_t count = 0;
    uint64_t flushedAt = 0;
    for (; !batch.empty(); batch = takeBatch(copy)) {
        for (const JoinedPiece& next : batch) {
            if (held && failed(writeJoinedPieceEnd(stream, *held, false, sink))) return;
            if (failed(writeJoinedPieceStart(stream, next, sink))) return;
            held = next;
            ++count;
        }
        if (copy.file->bytesWritten - flushedAt >= joinedBytesFlushed) {
            if (failed(flushOutputFile(*copy.file))) return;
            flushedAt = copy.file->bytesWritten;
        }
    }
    if (!held || copy.checkFailed || failed(writeJoinedPieceEnd(stream, *held, true, sink))) return;
    if (failed(writeGathered(gathered))) return;
    copy.streamLength = copy.file->bytesWritten - copy.headLength;
    copy.piecesJoined = count;
    copy.lastPiece = *held;
    copy.complete = !failed(flushOutputFile(*copy.file));
}

// Where the check reads the stream through, verified or not (unverified: a GZIP input's first member
// is walked, or a missing checksum is inflated for), the copy runs beside it.
bool copiesEarly(const DriverSettings& settings, const OutputContainer& output, const InputContainer& container,
                 OutputNeeds needs, const InputFindings& findings) {
    return !settings.checkOnly && output.writeHead && !findings.carried.payloadIsStored &&
           findings.region.length >= smallestStreamCopiedEarly &&
           checkReadsStream(findings, *container.region, needs, settings.verify);
}

// The copy is flushed to the disk while the check still runs; a failed flush (whose error a later one
// may not report again) leaves it incomplete, so that the output is written anew.
void copyEarly(const OutputContainer& output, const OutputFacts& guess, RegionReader stream, const std::string& path,
               OutputTarget target, bool flushToDisk, EarlyCopy& copy) {
    const PiecesRefused refused{copy};
    try {
        stream.watch = ReadWatch{sumRead, &copy.streamCrc32};
        const RegionReader start = stream;
        if (failed(startCopy(output, guess, path, target, flushToDisk, copy))) return;
        copy.streamLength = guess.streamLength;
        uint64_t left = guess.streamLength;
        while (left > 0 && !copy.checkFailed && !copy.watch.joining) {
            const uint64_t piece = std::min(left, earlyCopyPiece);
            if (failed(copyRegion(stream, piece, *copy.file))) return;
            left -= piece;
        }
        copy.complete = left == 0 && !copy.checkFailed && !failed(flushOutputFile(*copy.file));
        std::deque<JoinedPiece> batch = takeBatch(copy);
        if (batch.empty()) return;  // one stream, or the check failed
        copy.complete = false;
        if (!failed(startCopy(output, guess, path, target, flushToDisk, copy))) copyJoined(start, std::move(batch), copy);
    } catch (const std::bad_alloc&) {
        copy.complete = false;
    }
}

// False when the early copy can't be finished as the checked values are: the output is written anew.
bool finishEarlyCopy(const OutputContainer& output, const OutputFacts& facts, EarlyCopy& copy) {
    if (!copy.file || !copy.complete || facts.framedAsStoredBlocks || facts.streamLength != copy.streamLength) return false;
    // The pieces the copy joined are the check's, in its order: the same number, the same last one.
    const size_t pieces = facts.joined ? facts.joined->size() : 0;
    if (pieces != copy.piecesJoined) return false;
    if (facts.joined && (facts.joined->back().start != copy.lastPiece.start || facts.joined->back().endBit != copy.lastPiece.endBit)) {
        return false;
    }
    OutputFile& file = *copy.file;
    const uint64_t before = file.bytesWritten;
    if (failed(seekOutput(file, 0)) || failed(output.writeHead(facts, file))) return false;
    if (file.bytesWritten - before != copy.headLength) return false;
    return !failed(seekOutput(file, copy.headLength + copy.streamLength)) && !failed(output.writeTail(facts, file));
}

// The header PNG is read before the stream is checked, which then walks the rows it describes.
ResultCode readHeader(const DriverSettings& settings, const OutputContainer& output, PngHeader& header,
                      OutputNeeds& needs) {
    needs = output.needs;
    if (output.format != FormatCode::Png) return ResultCode::Success;
    needs.rows = &header.rows;
    return readPngHeader(settings.pngHeaderPath ? settings.pngHeaderPath : "", header);
}

// Checks the stream, copying it early where that pays; where no second thread can be started (a
// process or cgroup limit), the check runs alone and the output is written after it.
ResultCode checkAndCopy(const std::string& namedAfter, InputFile& input, const DriverSettings& settings,
                        const OutputContainer& output, OutputNeeds needs, OutputTarget target,
                        const InputContainer& container, InputFindings& findings, StreamSums& sums, FileReport& report,
                        std::optional<EarlyCopy>& early) {
    if (!copiesEarly(settings, output, container, needs, findings)) return checkInput(input, settings, needs, container, findings, sums, report);
    StreamSums guessed;
    guessed.streamLength = findings.region.length - findings.region.trailerLength;
    const OutputFacts guess = resolveOutputFacts(namedAfter, output, findings.carried, guessed);
    const RegionReader stream = regionReader(input, findings.region.extents, container.region->walk);
    EarlyCopy& copy = early.emplace();
    ResultCode result = ResultCode::Success;
    std::jthread checker;  // joined on every way out
    try {
        const CleanupSignalsHeld held;  // the checker never runs the cleanup: it owns no file
        copy.watch.pieceJoined = handOverPiece;
        copy.watch.context = &copy;
        checker = std::jthread([&] {
            result = checkInput(input, settings, needs, container, findings, sums, report, &copy.watch);
            endCheck(copy, result);
        });
    } catch (const std::exception&) {  // refused by a system limit, or no memory for it
        early.reset();
        return checkInput(input, settings, needs, container, findings, sums, report);
    }
    copyEarly(output, guess, stream, report.outputPath, target, settings.flushToDisk, copy);
    checker.join();
    return result;
}

// The header PNG must describe an image of exactly the data's size and rows, where those were measured.
ResultCode checkHeaderFits(const OutputContainer& output, const StreamSums& sums, const PngHeader& header) {
    if (output.format != FormatCode::Png || !sums.size) return ResultCode::Success;
    const bool fits = *sums.size == header.imageDataSize && sums.rowLeadsValid;
    return fits ? ResultCode::Success : ResultCode::HeaderPngMismatch;
}

ResultCode writeOutput(const OutputContainer& output, const OutputFacts& facts, InputFile& input,
                       const InputContainer& container, const InputFindings& findings, PngHeader& header,
                       const std::string& outputPath, OutputTarget target, const DriverSettings& settings,
                       const StreamSums& sums) {
    OutputFile file;
    ResultCode result = createOutputFile(outputPath, file, target);
    if (failed(result)) return result;
    RegionReader stream = regionReader(input, findings.region.extents, container.region->walk);
    uint32_t written = 0;
    if (comparesWrittenStream(settings, sums)) stream.watch = ReadWatch{sumRead, &written};
    if (output.write) {
        result = output.write(facts, header, stream, file);
    } else {
        ByteSink sink = fileSink(file);
        result = output.writeHead(facts, file);
        if (!failed(result)) result = writeStream(stream, facts, sink);
        if (!failed(result)) result = output.writeTail(facts, file);
    }
    if (failed(result)) return result;  // the destructor discards the file
    if (comparesWrittenStream(settings, sums) && written != *sums.streamCrc32) return ResultCode::InputChanged;
    return commitOutput(file, input, settings);
}

// Puts the early copy in place, or writes the output anew where it can't be finished.
ResultCode putOutputInPlace(const OutputContainer& output, const OutputFacts& facts, InputFile& input,
                            const InputContainer& container, const InputFindings& findings, PngHeader& header,
                            const FileReport& report, const DriverSettings& settings, const StreamSums& sums,
                            OutputTarget target, std::optional<EarlyCopy>& early) {
    if (early && finishEarlyCopy(output, facts, *early)) {
        if (comparesWrittenStream(settings, sums) && early->streamCrc32 != *sums.streamCrc32) return ResultCode::InputChanged;
        return commitOutput(*early->file, input, settings);
    }
    early.reset();  // its temporary file goes before another is made
    return writeOutput(output, facts, input, container, findings, header, report.outputPath, target, settings, sums);
}

// The output path's first check, -f or not: writing to a path that leads to the input file itself
// (the same path, another hard link to it, a symbolic link to it) would swap the input for its own
// conversion. -c and -t have no output path.
ResultCode checkOutputIsNotInput(const std::string& outputPath, OutputTarget target, const InputFile& input,
                                 const DriverSettings& settings) {
    if (settings.checkOnly || target == OutputTarget::StandardOutput || !input.identity) return ResultCode::Success;
    return fileIdentityAt(outputPath) == input.identity ? ResultCode::OutputIsInput : ResultCode::Success;
}

// An existing output is found before the stream is touched: a batch run again is quick. A check
// writes nothing, so whatever stands at the output path doesn't matter to it.
ResultCode checkOutputPath(const std::string& outputPath, const InputFile& input, const DriverSettings& settings) {
    const OutputTarget target = outputTargetFor(settings);
    if (settings.checkOnly) return ResultCode::Success;
    const ResultCode result = checkOutputIsNotInput(outputPath, target, input, settings);
    return failed(result) ? result : checkOutputPathFor(outputPath, target);
}

// The path a stored name is derived from: standard input has none, so the -o path stands in.
std::string nameSourceFor(const std::string& inputPath, const DriverSettings& settings) {
    return isStandardInput(inputPath) && settings.outputPath ? settings.outputPath : inputPath;
}

std::string fileNameOf(const std::string& path) {
    const std::string portable = portablePath(path);
    return portable.substr(portable.find_last_of('/') + 1);  // npos + 1 is 0: the whole path
}

}  // namespace

std::string outputPathFor(const std::string& inputPath, FormatCode outputFormat) {
    return inputPath + outputContainerFor(outputFormat).extension;
}

std::string outputPathFor(const std::string& inputPath, const DriverSettings& settings) {
    if (settings.toStandardOutput) return "standard output";
    if (settings.outputPath) return settings.outputPath;
    if (!settings.outputFolder) return outputPathFor(inputPath, settings.outputFormat);
    std::string folder = settings.outputFolder;
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder + outputPathFor(fileNameOf(inputPath), settings.outputFormat);
}

std::vector<uint8_t> storedNameFor(const std::optional<std::vector<uint8_t>>& carried, const std::string& inputPath) {
    if (carried) {
        std::vector<uint8_t> name = cleanZipName(*carried);
        if (!name.empty()) return name;
    }
    const std::string path = portablePath(inputPath);
    std::vector<uint8_t> name = cleanZipName(std::vector<uint8_t>(path.begin(), path.end()));
    // The extension is the last component's: "v1.2/data.gz" is "v1.2/data". A component of dots
    // before the last one (".bashrc", "..gz") has none.
    const auto last = std::find(name.rbegin(), name.rend(), '/').base();
    const auto dot = std::find(name.rbegin(), std::make_reverse_iterator(last), '.');
    if (dot != std::make_reverse_iterator(last) && std::any_of(last, dot.base() - 1, [](uint8_t c) { return c != '.'; })) {
        name.erase(dot.base() - 1, name.end());
    }
    return name;
}

namespace {

// What follows reading the input: the header PNG, the output path, the stream, the write.
ResultCode convertFindings(InputFile& input, const InputContainer& container, InputFindings& findings,
                           const std::string& namedAfter, const DriverSettings& settings, FileReport& report) {
    const OutputContainer& output = outputContainerFor(settings.outputFormat);
    StreamSums sums;
    PngHeader header;
    OutputNeeds needs;
    std::optional<EarlyCopy> early;
    const OutputTarget target = outputTargetFor(settings);
    ResultCode result = readHeader(settings, output, header, needs);
    if (!failed(result)) result = checkOutputPath(report.outputPath, input, settings);
    if (!failed(result)) {
        result = checkAndCopy(namedAfter, input, settings, output, needs, target, container, findings, sums, report, early);
    }
    report.warnings = findings.warnings;
    if (!failed(result)) result = checkHeaderFits(output, sums, header);
    if (failed(result) || settings.checkOnly) return result;
    const OutputFacts facts = resolveOutputFacts(namedAfter, output, findings.carried, sums);
    return putOutputInPlace(output, facts, input, container, findings, header, report, settings, sums, target, early);
}

}  // namespace

ResultCode convertFile(const std::string& inputPath, const DriverSettings& settings, FileReport& report) {
    try {
        InputFile input;
        const InputContainer* container = nullptr;
        InputFindings findings;
        const ResultCode result = readInput(inputPath, input, settings, container, findings);
        if (!failed(result)) return convertFindings(input, *container, findings, nameSourceFor(inputPath, settings), settings, report);
        report.warnings = findings.warnings;
        return result;
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

bool readsAsZipArchive(InputFile& input) {
    const InputContainer* container = nullptr;
    return !failed(detectInputContainer(input, container)) && container->format == FormatCode::Zip;
}

ResultCode convertZipEntry(InputFile& input, InputFindings& findings, const std::string& namedAfter, const DriverSettings& settings,
                           FileReport& report) {
    try {
        takeFilePermissions(input, findings);
        return convertFindings(input, inputContainers.front(), findings, namedAfter, settings, report);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

OutputNeeds outputNeedsFor(FormatCode outputFormat) {
    return outputContainerFor(outputFormat).needs;
}

namespace {

// What follows reading one stream of an output that holds several: the output path, the stream,
// the facts for its writer.
ResultCode checkFindingsOfJoined(const InputContainer& container, const std::string& namedAfter, const DriverSettings& settings,
                                 OutputNeeds needs, FileReport& report, CheckedInput& checked) {
    InputFile& input = *checked.input;
    ResultCode result = checkOutputPath(report.outputPath, input, settings);
    if (!failed(result)) result = checkInput(input, settings, needs, container, checked.findings, checked.sums, report);
    report.warnings = checked.findings.warnings;
    if (failed(result)) return result;
    checked.walk = container.region->walk;
    const OutputContainer& output = outputContainerFor(settings.outputFormat);
    checked.facts = resolveOutputFacts(namedAfter, output, checked.findings.carried, checked.sums);
    return ResultCode::Success;
}

}  // namespace

ResultCode checkInputOfJoined(const std::string& inputPath, const DriverSettings& settings, OutputNeeds needs,
                              FileReport& report, CheckedInput& checked) {
    try {
        const InputContainer* container = nullptr;
        checked.input = std::make_shared<InputFile>();
        const ResultCode result = readInput(inputPath, *checked.input, settings, container, checked.findings);
        report.warnings = checked.findings.warnings;
        if (failed(result)) return result;
        return checkFindingsOfJoined(*container, nameSourceFor(inputPath, settings), settings, needs, report, checked);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

ResultCode checkZipEntryOfJoined(const std::string& archivePath, const DriverSettings& settings, OutputNeeds needs,
                                 FileReport& report, CheckedInput& checked) {
    try {
        takeFilePermissions(*checked.input, checked.findings);
        return checkFindingsOfJoined(inputContainers.front(), archivePath, settings, needs, report, checked);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}
