#include "driver/joined_output.h"

#include <memory>
#include <new>
#include <optional>
#include <unordered_set>

#include "containers/gzip_container.h"
#include "containers/zip_container.h"
#include "containers/zlib_container.h"
#include "driver/console.h"
#include "io/output_file.h"
#include "stream/byte_sink.h"
#include "stream/checksum.h"
#include "stream/stored_blocks.h"

namespace {

// A checked stream on its way into the output, read again through reader; the bytes read are
// summed, to hold them against those that were checked.
struct StreamToWrite {
    CheckedInput checked;
    RegionReader reader;
    uint32_t readCrc32 = 0;
};

struct JoinedOutput {
    DriverSettings settings;  // as given, but verifying where streams are joined
    OutputNeeds needs;
    std::string path;
    OutputTarget target = OutputTarget::NewFile;
    std::optional<OutputFile> file;  // made when the first stream is written
    bool dropped = false;            // a stream failed: nothing more is written
    bool ended = false;              // the output itself failed: no more streams are looked at
    // ZIP: the entries written, and the names of every stream that passed, written or not.
    ZipArchive archive;
    std::unordered_set<std::string> names;
    // GZIP and ZLIB: the stream taken last, written up to its final block until the next stream (or
    // the end) shows whether it is the last; or, while no stream holds data, the first, unwritten,
    // which stands for them all if none does. The header is the first stream's (name, time).
    std::unique_ptr<StreamToWrite> held;
    std::optional<OutputFacts> head;
    uint64_t size = 0;
    uint32_t crc32 = 0;
    uint32_t adler32 = adler32Start;
};

bool isZip(const JoinedOutput& out) {
    return out.settings.outputFormat == FormatCode::Zip;
}

bool holdsData(const std::unique_ptr<StreamToWrite>& stream) {
    return stream && stream->checked.facts.size > 0;
}

void sumRead(void* crc, const uint8_t* bytes, size_t count) {
    *static_cast<uint32_t*>(crc) = updateCrc32(*static_cast<uint32_t*>(crc), bytes, count);
}

// Where the stream's bytes were all checked, the bytes written must be those: another program
// writing the input in between would otherwise slip unchecked bytes into the output.
bool comparesWritten(const JoinedOutput& out, const StreamToWrite& stream) {
    return out.settings.verify && stream.checked.sums.streamCrc32.has_value();
}

ResultCode checkReadAsChecked(const JoinedOutput& out, const StreamToWrite& stream) {
    const bool changed = comparesWritten(out, stream) && stream.readCrc32 != *stream.checked.sums.streamCrc32;
    return changed ? ResultCode::InputChanged : ResultCode::Success;
}

ResultCode openOutput(JoinedOutput& out) {
    if (out.file) return ResultCode::Success;
    OutputFile& file = out.file.emplace();
    const ResultCode result = createOutputFile(out.path, file, out.target);
    if (failed(result) || !out.head) return result;
    return out.settings.outputFormat == FormatCode::Zlib ? writeZlibHead(*out.head, file) : writeGzipHead(*out.head, file);
}

// A name the archive holds already would make one of the two entries unreachable by name.
ResultCode claimEntryName(JoinedOutput& out, const OutputFacts& facts, std::string& name) {
    const std::vector<uint8_t> cleaned = cleanZipName(facts.name);
    name.assign(cleaned.begin(), cleaned.end());
    return out.names.insert(name).second ? ResultCode::Success : ResultCode::EntryNameTaken;
}

// ZIP: the entry's local header, then its stream as a one-entry archive holds it.
ResultCode writeEntry(JoinedOutput& out, StreamToWrite& stream) {
    ResultCode result = openOutput(out);
    if (!failed(result)) result = writeZipEntryHead(out.archive, stream.checked.facts, *out.file);
    if (failed(result)) return result;
    ByteSink sink = fileSink(*out.file);
    result = writeStream(stream.reader, stream.checked.facts, sink);
    return failed(result) ? result : checkReadAsChecked(out, stream);
}

// A stream up to its last final block: each piece before its last joined to the next, then the last
// one's bytes before its final block's header byte. Stored bytes wait for the end.
ResultCode writeStreamStart(JoinedOutput& out, StreamToWrite& stream) {
    const OutputFacts& facts = stream.checked.facts;
    if (facts.framedAsStoredBlocks) return ResultCode::Success;
    if (!facts.joined || facts.joined->empty()) return ResultCode::InflateFailed;  // never: a stream with data was walked
    ByteSink sink = fileSink(*out.file);
    const std::vector<JoinedPiece>& pieces = *facts.joined;
    for (size_t i = 0; i + 1 < pieces.size(); ++i) {
        ResultCode result = writeJoinedPieceStart(stream.reader, pieces[i], sink);
        if (!failed(result)) result = writeJoinedPieceEnd(stream.reader, pieces[i], false, sink);
        if (failed(result)) return result;
    }
    return writeJoinedPieceStart(stream.reader, pieces.back(), sink);
}

// The rest: the final block, made non-final and followed by an empty stored block where another
// stream follows (stored blocks end on a byte, and need only their last one left non-final).
ResultCode writeStreamEnd(JoinedOutput& out, StreamToWrite& stream, bool last) {
    const OutputFacts& facts = stream.checked.facts;
    ByteSink sink = fileSink(*out.file);
    const ResultCode result = facts.framedAsStoredBlocks ? writeStoredBlocks(stream.reader, facts.payloadLength, sink, last)
                                                         : writeJoinedPieceEnd(stream.reader, facts.joined->back(), last, sink);
    return failed(result) ? result : checkReadAsChecked(out, stream);
}

// GZIP and ZLIB: a stream that holds data ends the one held before it, which isn't the last then;
// an empty one adds nothing.
ResultCode joinStream(JoinedOutput& out, std::unique_ptr<StreamToWrite> stream) {
    const OutputFacts& facts = stream->checked.facts;
    if (!out.head) out.head = facts;
    if (facts.size == 0) {
        if (!out.held) out.held = std::move(stream);
        return ResultCode::Success;
    }
    out.crc32 = combineCrc32(out.crc32, facts.crc32, facts.size);
    out.adler32 = combineAdler32(out.adler32, facts.adler32, facts.size);
    out.size += facts.size;
    ResultCode result = openOutput(out);
    if (!failed(result) && holdsData(out.held)) result = writeStreamEnd(out, *out.held, false);
    if (!failed(result)) result = writeStreamStart(out, *stream);
    out.held = std::move(stream);
    return result;
}

ResultCode writeChecked(JoinedOutput& out, std::unique_ptr<StreamToWrite> stream) {
    CheckedInput& checked = stream->checked;
    stream->reader = regionReader(checked.input, checked.findings.region.extents, checked.walk);
    if (comparesWritten(out, *stream)) stream->reader.watch = ReadWatch{sumRead, &stream->readCrc32};
    const ResultCode result = isZip(out) ? writeEntry(out, *stream) : joinStream(out, std::move(stream));
    out.ended = result == ResultCode::OutputNotCreated || result == ResultCode::WriteFailed;
    return result;
}

// Whatever was written goes (the temporary file is discarded); names are still claimed.
void dropOutput(JoinedOutput& out) {
    out.dropped = true;
    out.held.reset();
    out.file.reset();
    out.archive = ZipArchive{};
}

void takeStream(JoinedOutput& out, const char* inputPath, StreamOutcome& outcome) {
    FileReport report;
    ResultCode result = ResultCode::Success;
    try {
        report.outputPath = out.path;
        report.progress.path = inputPath;
        auto stream = std::make_unique<StreamToWrite>();
        result = checkInputOfJoined(inputPath, out.settings, out.needs, report, stream->checked);
        out.ended = result == ResultCode::OutputExists || result == ResultCode::OutputNotCreated;  // the output path's
        if (!failed(result) && isZip(out)) result = claimEntryName(out, stream->checked.facts, outcome.entryName);
        if (!failed(result) && !out.dropped) result = writeChecked(out, std::move(stream));
        outcome.warnings = std::move(report.warnings);
    } catch (const std::bad_alloc&) {
        result = ResultCode::OutOfMemory;
    }
    eraseProgressLine(report.progress);
    if (failed(result)) dropOutput(out);
    outcome.result = result;
}

// The last stream's final block, or the stand-in where none held data, then the sums of them all.
ResultCode finishJoinedStream(JoinedOutput& out) {
    ResultCode result = openOutput(out);
    StreamToWrite& last = *out.held;
    ByteSink sink = fileSink(*out.file);
    if (failed(result)) return result;
    if (holdsData(out.held)) {
        result = writeStreamEnd(out, last, true);
    } else {
        result = writeStream(last.reader, last.checked.facts, sink);
        if (!failed(result)) result = checkReadAsChecked(out, last);
    }
    OutputFacts tail = *out.head;
    tail.crc32 = out.crc32;
    tail.size = out.size;
    tail.adler32 = out.adler32;
    if (failed(result)) return result;
    return out.settings.outputFormat == FormatCode::Zlib ? writeZlibTail(tail, *out.file) : writeGzipTail(tail, *out.file);
}

ResultCode finishOutput(JoinedOutput& out) {
    try {
        ResultCode result = isZip(out) ? openOutput(out) : finishJoinedStream(out);
        if (!failed(result) && isZip(out)) result = writeZipDirectory(out.archive, *out.file);
        if (failed(result)) return result;
        out.file->flushToDisk = out.settings.flushToDisk;
        return commitOutputFile(*out.file);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

OutputTarget outputTargetFor(const DriverSettings& settings) {
    if (settings.toStandardOutput) return OutputTarget::StandardOutput;
    return settings.replaceExisting ? OutputTarget::ReplacedFile : OutputTarget::NewFile;
}

// Joining needs every stream's final block: each is walked to it, and what is walked is judged, so
// a joined stream is checked as when verifying, --no-verify or not.
void setUp(JoinedOutput& out, const DriverSettings& settings, const char* firstPath) {
    out.settings = settings;
    out.needs = outputNeedsFor(settings.outputFormat);
    out.needs.joinsOthers = !isZip(out);
    out.settings.verify = settings.verify || out.needs.joinsOthers;
    out.path = outputPathFor(firstPath, settings);
    out.target = outputTargetFor(settings);
}

}  // namespace

bool writeJoinedOutput(const std::vector<const char*>& inputPaths, const DriverSettings& settings,
                       std::vector<StreamOutcome>& outcomes) {
    JoinedOutput out;
    setUp(out, settings, inputPaths.front());
    for (const char* inputPath : inputPaths) {
        if (out.ended) break;
        StreamOutcome& outcome = outcomes.emplace_back();
        outcome.inputPath = inputPath;
        takeStream(out, inputPath, outcome);
    }
    if (out.dropped) return false;
    outcomes.back().result = finishOutput(out);  // the last stream completes the output
    return !failed(outcomes.back().result);
}
