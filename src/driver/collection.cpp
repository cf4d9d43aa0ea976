#include "driver/collection.h"

#include <algorithm>
#include <new>
#include <optional>
#include <vector>

#include "containers/zip_container.h"
#include "driver/checked_in_order.h"
#include "driver/console.h"
#include "driver/messages.h"
#include "io/bytes.h"
#include "io/input_file.h"
#include "io/output_folder.h"

namespace {

std::string successMessage(const DriverSettings& settings, const std::string& outputPath) {
    if (settings.checkOnly) return "SUCCESS: Checked.\n";
    if (settings.toStandardOutput) return "SUCCESS: Written to standard output.\n";
    return "SUCCESS: Saved as " + outputPath + ".\n";
}

FileOutcome worseOf(FileOutcome a, FileOutcome b) {
    return std::max(a, b);
}

// The archive's path less the last extension of its last component: "web/site.zip" gives "web/site".
// A name without one would name the archive itself: "site" gives "site.d".
std::string folderNamedAfter(const std::string& archivePath) {
    const size_t slash = archivePath.find_last_of("/\\");
    const size_t dot = archivePath.find_last_of('.');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    return dot != std::string::npos && dot > nameStart ? archivePath.substr(0, dot) : archivePath + ".d";
}

std::vector<std::string> componentsOf(const std::vector<uint8_t>& cleanedName) {
    std::vector<std::string> components(1);
    for (const uint8_t c : cleanedName) {
        if (c == '/') {
            components.emplace_back();
        } else {
            components.back() += static_cast<char>(c);
        }
    }
    return components;
}

std::string joinedPath(const std::string& folder, const std::string& name) {
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Where an entry goes: its name as ZIP allows it (no drive, no leading "/", no "." or ".."), or
// where nothing of it is left, the archive's own name; the output's folders below the root, and
// its path.
struct EntryPlace {
    std::vector<std::string> folders;
    std::string outputPath;
};

EntryPlace placeOf(const std::vector<uint8_t>& name, const std::string& root, const std::string& archivePath,
                   const DriverSettings& settings) {
    std::vector<uint8_t> cleaned = cleanZipName(name);
    if (cleaned.empty()) {
        const std::vector<uint8_t> derived = storedNameFor(std::nullopt, archivePath);
        cleaned.assign(std::find(derived.rbegin(), derived.rend(), '/').base(), derived.end());
    }
    EntryPlace place;
    place.folders = componentsOf(cleaned);
    const std::string file = place.folders.back();
    place.folders.pop_back();
    std::string path = root;
    for (const std::string& folder : place.folders) path = joinedPath(path, folder);
    place.outputPath = outputPathFor(joinedPath(path, file), settings.outputFormat);
    return place;
}

// The folder the last output went into (or the last folder entry made), kept open for what comes
// after it in the same folder, or near it: entries come in the directory's order, mostly grouped by
// folder, and opening one anew walks every folder above it from the root.
struct FolderKeptOpen {
    std::vector<std::string> below;  // what it was opened as
    std::optional<OutputFolder> folder;
};

ResultCode openKeptFolder(const std::string& root, bool flushToDisk, std::vector<std::string>& below, FolderKeptOpen& kept) {
    const size_t depth = kept.below.size();
    const auto differs = std::mismatch(kept.below.begin(), kept.below.end(), below.begin(), below.end()).first;
    const size_t shared = kept.folder ? static_cast<size_t>(differs - kept.below.begin()) : 0;
    if (kept.folder && shared == depth && depth == below.size()) return ResultCode::Success;
    ResultCode result = ResultCode::Success;
    const bool upFromKept = kept.folder && ascendOutputFolder(*kept.folder, depth - shared);
    if (!upFromKept) {
        kept.folder.reset();
        result = openOutputFolder(root, {}, flushToDisk, kept.folder.emplace());
    }
    if (!failed(result)) result = descendOutputFolder(*kept.folder, below, upFromKept ? shared : 0, flushToDisk);
    kept.below = std::move(below);
    if (failed(result)) kept.folder.reset();
    return result;
}

// Handing an entry to another thread and back costs about what checking 10 KiB of it does: on two
// cores, an archive of 1,000 files of 4 KiB (deflated) ran a sixth faster on one thread, one of 150
// files of 30 KiB about a tenth slower. Entries smaller than this on average are checked on one
// thread, unless -T asks for more.
constexpr uint64_t smallestEntriesCheckedAhead = 16 * 1024;

bool checksAhead(const InputFile& input, size_t count, const DriverSettings& settings) {
    return settings.threads > 0 || input.size / count >= smallestEntriesCheckedAhead;
}

// A folder entry's folder; a folder that can't be made is said by the entries that would go in it.
void makeFolder(const std::vector<uint8_t>& name, const std::string& root, bool flushToDisk, FolderKeptOpen& kept) {
    const std::vector<uint8_t> cleaned = cleanZipName(name);
    std::vector<std::string> below = componentsOf(cleaned);
    if (!cleaned.empty()) (void)openKeptFolder(root, flushToDisk, below, kept);
}

// -o and -c name the one output, whatever the entry's name.
bool intoOneOutput(const DriverSettings& settings) {
    return settings.outputPath || settings.toStandardOutput;
}

// What every entry of one archive shares.
struct ArchiveRun {
    InputFile& input;
    const ZipFileEntries& entries;
    const std::string& root;
    const std::string& archivePath;
    const DriverSettings& settings;
    bool checkAhead;  // entries checked on other threads ahead of the one converted
};

EntryPlace placeOfEntry(const ArchiveRun& run, size_t index) {
    if (intoOneOutput(run.settings)) return EntryPlace{{}, outputPathFor(run.archivePath, run.settings)};
    return placeOf(run.entries.files[index].name, run.root, run.archivePath, run.settings);
}

// An entry on its way: read and prepared on any thread, then converted in order on the calling one.
struct EntryUnderWay {
    size_t index = 0;
    ResultCode read = ResultCode::Success;
    InputFindings findings;
    StreamPrepared prepared;
    std::vector<uint8_t> data;  // where small: its data, read once, checked and written from here
    uint64_t dataOffset = 0;
};

// Entries this small, of a few pages, are checked and written from one read of their data: most
// come from the read of the headers before them.
constexpr uint64_t largestDataHeld = 64 * 1024;

void holdSmallEntryData(InputFile& input, EntryUnderWay& entry) {
    const std::vector<Extent>& extents = entry.findings.region.extents;
    if (extents.size() != 1 || extents.front().length > largestDataHeld) return;
    entry.dataOffset = extents.front().offset;
    const size_t length = static_cast<size_t>(extents.front().length);
    // Unread (no memory, a short file), the entry is read as a large one is, and says what failed.
    if (failed(allocateBuffer(entry.data, length)) || failed(readAt(input, entry.dataOffset, entry.data.data(), length))) {
        entry.data.clear();
    }
}

void prepareEntry(const ArchiveRun& run, EntryUnderWay& entry) {
    try {
        entry.read = readZipFileEntry(run.input, run.entries, entry.index, entry.findings);
        if (failed(entry.read)) return;
        holdSmallEntryData(run.input, entry);
        const InputBytesHeld held(run.input, entry.dataOffset, entry.data);
        const std::string outputPath = placeOfEntry(run, entry.index).outputPath;
        prepareZipEntry(run.input, entry.findings, outputPath, run.settings, run.checkAhead, entry.prepared);
    } catch (const std::bad_alloc&) {
        entry.read = ResultCode::OutOfMemory;
    }
}

// The entry is read before its folder is made: an entry that can't be read leaves nothing behind.
FileOutcome convertEntry(const ArchiveRun& run, EntryUnderWay& entry, FolderKeptOpen& kept) {
    const std::vector<uint8_t>& name = run.entries.files[entry.index].name;
    const std::string shown = run.archivePath + ":" + std::string(name.begin(), name.end());
    EntryPlace place = placeOfEntry(run, entry.index);
    FileReport report;
    report.outputPath = place.outputPath;
    report.progress.path = shown;
    ResultCode result = entry.read;
    const bool intoFolder = !failed(result) && !run.settings.checkOnly && !intoOneOutput(run.settings);
    if (intoFolder) result = openKeptFolder(run.root, run.settings.flushToDisk, place.folders, kept);
    if (!failed(result)) {
        const OutputFolder none;
        const OutputFolderInUse inUse(intoFolder ? *kept.folder : none);
        const InputBytesHeld held(run.input, entry.dataOffset, entry.data);
        result = convertPreparedZipEntry(run.input, entry.findings, run.archivePath, run.settings, report, entry.prepared);
    }
    eraseProgressLine(report.progress);
    return reportResult(shown, result, run.settings, report);
}

}  // namespace

ResultCode listArchiveEntries(const std::string& inputPath, InputFile& input, ZipFileEntries& entries, bool& isArchive) {
    ResultCode result = openInput(inputPath, input);
    if (failed(result)) return result;
    isArchive = readsAsZipArchive(input);
    if (!isArchive) return result;
    try {
        result = listZipFileEntries(input, entries);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
    return !failed(result) && countZipFileEntries(entries) == 0 ? ResultCode::NoFileEntry : result;
}

namespace {

void printOutcomeLines(const std::string& shownPath, const DriverSettings& settings, const std::vector<std::string>& warnings,
                       ResultCode result, const std::string& outputPath, const std::string& takenName) {
    for (const std::string& warning : warnings) printStatusLine(shownPath, colourWarning, warning);
    if (!failed(result)) {
        if (!settings.quiet) printStatusLine(shownPath, colourSuccess, successMessage(settings, outputPath));
        return;
    }
    const std::string headerPath = settings.pngHeaderPath ? settings.pngHeaderPath : "";
    const std::string entryName = result == ResultCode::EntryNameTaken ? takenName : settings.entryName.value_or("");
    printStatusLine(shownPath, colourError, "ERROR: " + resultMessage(result, outputPath, headerPath, entryName));
}

// The file's line where no memory is left to build it: what was done, if less of it.
void printOutcomeWithoutMemory(const std::string& shownPath, const DriverSettings& settings, ResultCode result,
                               const std::string& outputPath) {
    if (failed(result)) return printStatusLineWithoutMemory(shownPath, {"ERROR: Out of memory."});
    if (settings.quiet) return;
    if (settings.checkOnly) return printStatusLineWithoutMemory(shownPath, {"SUCCESS: Checked."});
    if (settings.toStandardOutput) return printStatusLineWithoutMemory(shownPath, {"SUCCESS: Written to standard output."});
    printStatusLineWithoutMemory(shownPath, {"SUCCESS: Saved as ", outputPath.c_str(), "."});
}

}  // namespace

void printOutcome(const std::string& shownPath, const DriverSettings& settings, const std::vector<std::string>& warnings,
                  ResultCode result, const std::string& outputPath, const std::string& takenName) {
    try {
        printOutcomeLines(shownPath, settings, warnings, result, outputPath, takenName);
    } catch (const std::bad_alloc&) {
        printOutcomeWithoutMemory(shownPath, settings, result, outputPath);
    }
}

FileOutcome reportResult(const std::string& shownPath, ResultCode result, const DriverSettings& settings, const FileReport& report) {
    printOutcome(shownPath, settings, report.warnings, result, report.outputPath);
    if (failed(result)) return FileOutcome::Failed;
    return report.warnings.empty() ? FileOutcome::Converted : FileOutcome::ConvertedLeavingOut;
}

FileOutcome convertFileAndReport(const std::string& inputPath, const DriverSettings& settings) {
    FileReport report;
    report.outputPath = outputPathFor(inputPath, settings);
    report.progress.path = inputPath;
    const ResultCode result = convertFile(inputPath, settings, report);
    eraseProgressLine(report.progress);
    return reportResult(inputPath, result, settings, report);
}

size_t fileEntriesOf(const std::string& inputPath) {
    InputFile input;
    ZipFileEntries entries;
    bool isArchive = true;
    if (inputPath == standardInputPath || failed(listArchiveEntries(inputPath, input, entries, isArchive)) || !isArchive) return 1;
    return countZipFileEntries(entries);
}

FileOutcome convertAllEntries(const std::string& inputPath, const DriverSettings& settings) {
    InputFile input;
    ZipFileEntries entries;
    bool isArchive = true;
    ResultCode result = listArchiveEntries(inputPath, input, entries, isArchive);
    // Only a PNG output comes here with -o or -c, and for a file only where it holds one entry.
    // Standard input can't be looked at before the run: of several, its first entry is converted,
    // and the others are warned of as left out.
    const bool severalIntoOne = intoOneOutput(settings) && countZipFileEntries(entries) > 1;
    if (!isArchive || severalIntoOne) return convertFileAndReport(inputPath, settings);
    if (failed(result)) return reportResult(inputPath, result, settings, FileReport{});
    const std::string root = settings.outputFolder ? settings.outputFolder : folderNamedAfter(inputPath);
    FolderKeptOpen kept;
    if (!settings.checkOnly && !intoOneOutput(settings)) {
        for (const ZipFolderEntry& folder : entries.folders) makeFolder(folder.name, root, settings.flushToDisk, kept);
    }
    // Entries are checked ahead on other threads where that pays; their outputs are made, and their
    // lines printed, on this one in the directory's order, so that what one entry finds made by those
    // before it (a name taken, a file where a folder should be) is the same whatever the threads.
    const size_t count = countZipFileEntries(entries);
    const unsigned threads = threadsFor(settings);
    const ArchiveRun run{input, entries, root, inputPath, settings, threads > 1 && count > 1 && checksAhead(input, count, settings)};
    FileOutcome outcome = FileOutcome::Converted;
    size_t handedOut = 0;
    result = checkInOrder<EntryUnderWay>(
        run.checkAhead ? threads : 1, [&](EntryUnderWay& entry) { entry.index = handedOut; return handedOut++ < count; },
        [&](EntryUnderWay& entry) { prepareEntry(run, entry); },
        [&](EntryUnderWay& entry) { outcome = worseOf(outcome, convertEntry(run, entry, kept)); return true; });
    return failed(result) ? reportResult(inputPath, result, settings, FileReport{}) : outcome;
}
