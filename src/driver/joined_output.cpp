#include "driver/joined_output.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <unordered_set>

#include "containers/gzip_container.h"
#include "containers/zip_container.h"
#include "containers/zlib_container.h"
#include "driver/checked_in_order.h"
#include "driver/collection.h"
#include "driver/console.h"
#include "io/local_time.h"
#include "io/output_file.h"
#include "stream/byte_sink.h"
#include "stream/checksum.h"
#include "stream/stored_blocks.h"
#include "stream/timestamp.h"

namespace {

// A checked stream on its way into the output, read again through reader; the bytes read are
// summed, to hold them against those that were checked. An archive's entry going into a ZIP output
// takes the archive's folder entries along: those listed before it, and after it where it is the
// archive's last file entry.
struct StreamToWrite {
    CheckedInput checked;
    RegionReader reader;
    uint32_t readCrc32 = 0;
    std::vector<OutputFacts> foldersBefore;
    std::vector<OutputFacts> foldersAfter;
};

// A ZIP archive whose file entries are streams of the output; open as long as one of them is held.
struct ArchiveInput {
    std::string path;
    std::shared_ptr<InputFile> file = std::make_shared<InputFile>();
    ZipFileEntries entries;
    bool skipped = false;  // its entries after one found the output to be the archive itself
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

// A folder entry named as one the archive holds already (in another archive given, say) is left
// out: the folder is there.
void claimFolderNames(JoinedOutput& out, std::vector<OutputFacts>& folders) {
    std::erase_if(folders, [&](const OutputFacts& folder) {
        return folder.name.empty() || !out.names.insert(std::string(folder.name.begin(), folder.name.end()) + "/").second;
    });
}

ResultCode writeFolders(JoinedOutput& out, const std::vector<OutputFacts>& folders) {
    for (const OutputFacts& folder : folders) {
        const ResultCode result = writeZipEntryHead(out.archive, folder, *out.file, true);
        if (failed(result)) return result;
    }
    return ResultCode::Success;
}

// ZIP: the entry's local header, then its stream as a one-entry archive holds it.
ResultCode writeEntry(JoinedOutput& out, StreamToWrite& stream) {
    ResultCode result = openOutput(out);
    if (!failed(result)) result = writeFolders(out, stream.foldersBefore);
    if (!failed(result)) result = writeZipEntryHead(out.archive, stream.checked.facts, *out.file);
    if (failed(result)) return result;
    ByteSink sink = fileSink(*out.file);
    result = writeStream(stream.reader, stream.checked.facts, sink);
    if (!failed(result)) result = checkReadAsChecked(out, stream);
    return failed(result) ? result : writeFolders(out, stream.foldersAfter);
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
    stream->reader = regionReader(*checked.input, checked.findings.region.extents, checked.walk);
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

void endStream(JoinedOutput& out, StreamOutcome& outcome, ResultCode result) {
    if (failed(result)) dropOutput(out);
    outcome.result = result;
}

// A folder entry as the output holds it: named as the file entries are cleaned, with its time (the
// present one where it carries none) and its permissions, else the archive's made searchable
// wherever they let read.
ResultCode readFolder(const ArchiveInput& archive, const ZipFolderEntry& folder, OutputFacts& facts) {
    CarriedFacts carried;
    const ResultCode result = readZipFolderEntry(*archive.file, folder, carried);
    const uint32_t archiveMode = archive.file->stamp ? archive.file->stamp->permissions & 0777 : 0755;
    facts.name = cleanZipName(folder.name);
    facts.unixTime = carried.unixTime.value_or(currentUnixTime());
    facts.dosTime = carried.dosTime.value_or(unixToDosTime(facts.unixTime));
    facts.nameIsUtf8 = carried.nameIsUtf8;
    facts.permissions = carried.permissions.value_or(archiveMode | (archiveMode & 0444) >> 2);
    return result;
}

// The folder entries the directory lists after filesBefore file entries (it lists them in order).
ResultCode readFoldersAt(const ArchiveInput& archive, size_t filesBefore, std::vector<OutputFacts>& folders) {
    const std::vector<ZipFolderEntry>& all = archive.entries.folders;
    const auto [first, last] = std::equal_range(all.begin(), all.end(), ZipFolderEntry{0, {}, filesBefore},
                                                [](const ZipFolderEntry& a, const ZipFolderEntry& b) { return a.filesBefore < b.filesBefore; });
    for (auto folder = first; folder != last; ++folder) {
        const ResultCode result = readFolder(archive, *folder, folders.emplace_back());
        if (failed(result)) return result;
    }
    return ResultCode::Success;
}

ResultCode checkEntry(const JoinedOutput& out, const DriverSettings& settings, const ArchiveInput& archive, size_t index,
                      FileReport& report, StreamToWrite& stream) {
    const bool last = index + 1 == countZipFileEntries(archive.entries);
    ResultCode result = isZip(out) ? readFoldersAt(archive, index, stream.foldersBefore) : ResultCode::Success;
    if (!failed(result) && isZip(out) && last) result = readFoldersAt(archive, index + 1, stream.foldersAfter);
    stream.checked.input = archive.file;
    if (!failed(result)) result = readZipFileEntry(*archive.file, archive.entries, index, stream.checked.findings);
    return failed(result) ? result : checkZipEntryOfJoined(archive.path, settings, out.needs, report, stream.checked);
}

// A stream on its way into the output: an input path, an archive's entry, or an archive that can't
// be listed (its one record); checked on any thread, then taken in order on the calling one.
struct StreamUnderWay {
    std::string shown;  // as its lines show it
    const char* path = nullptr;
    std::shared_ptr<ArchiveInput> archive;
    size_t index = 0;
    ResultCode listed = ResultCode::Success;
    FileReport report;
    std::unique_ptr<StreamToWrite> stream;
    ResultCode result = ResultCode::Success;
};

// Where the streams are handed out from: the input paths in turn, and with --all-entries every
// file entry of each ZIP archive among them, in its directory's order (an input that isn't an
// archive is one stream, as without it).
struct StreamCursor {
    const std::vector<const char*>& inputPaths;
    size_t nextPath = 0;
    std::shared_ptr<ArchiveInput> archive;  // the one whose entries are being handed out
    size_t nextEntry = 0;
};

// An output that would replace the archive would replace it for every entry: the first one says
// so, and the entries after it are left (skipped).
bool entryLeftOut(const StreamCursor& cursor) {
    return !cursor.archive || cursor.archive->skipped || cursor.nextEntry == countZipFileEntries(cursor.archive->entries);
}

void handOutEntry(StreamCursor& cursor, StreamUnderWay& stream) {
    const std::vector<uint8_t>& name = cursor.archive->entries.files[cursor.nextEntry].name;
    stream.shown = cursor.archive->path + ":" + std::string(name.begin(), name.end());
    stream.archive = cursor.archive;
    stream.index = cursor.nextEntry++;
}

bool nextStream(const JoinedOutput& out, StreamCursor& cursor, StreamUnderWay& stream) {
    while (entryLeftOut(cursor)) {
        cursor.archive.reset();
        if (cursor.nextPath == cursor.inputPaths.size()) return false;
        const char* path = cursor.inputPaths[cursor.nextPath++];
        stream.shown = path;
        stream.path = path;
        if (!out.settings.allEntries) return true;
        auto archive = std::make_shared<ArchiveInput>();
        archive->path = path;
        bool isArchive = true;
        stream.listed = listArchiveEntries(path, *archive->file, archive->entries, isArchive);
        if (!isArchive || failed(stream.listed)) return true;
        cursor.archive = std::move(archive);
        cursor.nextEntry = 0;
    }
    handOutEntry(cursor, stream);
    return true;
}

// settings are out's, or where the stream is checked ahead on another thread, those for that.
void checkStream(const JoinedOutput& out, const DriverSettings& settings, StreamUnderWay& taken) {
    if (failed(taken.listed)) return;
    try {
        taken.report.outputPath = out.path;
        taken.report.progress.path = taken.shown;
        taken.stream = std::make_unique<StreamToWrite>();
        StreamToWrite& stream = *taken.stream;
        taken.result = taken.archive ? checkEntry(out, settings, *taken.archive, taken.index, taken.report, stream)
                                     : checkInputOfJoined(taken.path, settings, out.needs, taken.report, stream.checked);
    } catch (const std::bad_alloc&) {
        taken.result = ResultCode::OutOfMemory;
    }
}

// The stream checked, its names claimed and, while every stream before it passed, written.
ResultCode writeStreamChecked(JoinedOutput& out, StreamUnderWay& taken, StreamOutcome& outcome) {
    ResultCode result = taken.result;
    out.ended = result == ResultCode::OutputExists || result == ResultCode::OutputNotCreated;  // the output path's
    if (!failed(result) && isZip(out)) result = claimEntryName(out, taken.stream->checked.facts, outcome.entryName);
    if (!failed(result) && isZip(out)) {
        claimFolderNames(out, taken.stream->foldersBefore);
        claimFolderNames(out, taken.stream->foldersAfter);
    }
    if (!failed(result) && !out.dropped) result = writeChecked(out, std::move(taken.stream));
    outcome.warnings = std::move(taken.report.warnings);
    return result;
}

// False once no stream after this one is to be looked at.
bool takeStream(JoinedOutput& out, StreamUnderWay& taken, std::vector<StreamOutcome>& outcomes) {
    if (taken.archive && taken.archive->skipped) return true;
    StreamOutcome& outcome = outcomes.emplace_back();
    outcome.inputPath = taken.shown;
    const ResultCode result = failed(taken.listed) ? taken.listed : writeStreamChecked(out, taken, outcome);
    eraseProgressLine(taken.report.progress);
    endStream(out, outcome, result);
    if (taken.archive && result == ResultCode::OutputIsInput) taken.archive->skipped = true;
    return !out.ended;
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
    // Streams are checked ahead on other threads and written on this one in the order given.
    const unsigned threads = threadsFor(settings);
    const DriverSettings ahead = threads > 1 ? settingsCheckedAhead(out.settings) : out.settings;
    StreamCursor cursor{inputPaths, 0, nullptr, 0};
    const ResultCode result = checkInOrder<StreamUnderWay>(
        threads, [&](StreamUnderWay& stream) { return nextStream(out, cursor, stream); },
        [&](StreamUnderWay& stream) { checkStream(out, ahead, stream); },
        [&](StreamUnderWay& stream) { return takeStream(out, stream, outcomes); });
    if (failed(result)) {  // no room for the streams in flight: nothing is written
        outcomes.emplace_back(StreamOutcome{inputPaths.front(), result, {}, {}});
        return false;
    }
    if (out.dropped) return false;
    outcomes.back().result = finishOutput(out);  // the last stream completes the output
    return !failed(outcomes.back().result);
}
