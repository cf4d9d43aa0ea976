#include "driver/collection.h"

#include <algorithm>
#include <new>
#include <vector>

#include "containers/zip_container.h"
#include "driver/checked_in_order.h"
#include "driver/console.h"
#include "driver/messages.h"
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

// A folder entry's folder; a folder that can't be made is said by the entries that would go in it.
void makeFolder(const std::vector<uint8_t>& name, const std::string& root, bool flushToDisk) {
    const std::vector<uint8_t> cleaned = cleanZipName(name);
    OutputFolder folder;
    if (!cleaned.empty()) (void)openOutputFolder(root, componentsOf(cleaned), flushToDisk, folder);
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
};

void prepareEntry(const ArchiveRun& run, EntryUnderWay& entry) {
    try {
        entry.read = readZipFileEntry(run.input, run.entries, entry.index, entry.findings);
        if (failed(entry.read)) return;
        const std::string outputPath = placeOfEntry(run, entry.index).outputPath;
        prepareZipEntry(run.input, entry.findings, outputPath, run.settings, run.checkAhead, entry.prepared);
    } catch (const std::bad_alloc&) {
        entry.read = ResultCode::OutOfMemory;
    }
}

// The entry is read before its folder is made: an entry that can't be read leaves nothing behind.
FileOutcome convertEntry(const ArchiveRun& run, EntryUnderWay& entry) {
    const std::vector<uint8_t>& name = run.entries.files[entry.index].name;
    const std::string shown = run.archivePath + ":" + std::string(name.begin(), name.end());
    const EntryPlace place = placeOfEntry(run, entry.index);
    FileReport report;
    report.outputPath = place.outputPath;
    report.progress.path = shown;
    OutputFolder folder;
    ResultCode result = entry.read;
    if (!failed(result) && !run.settings.checkOnly && !intoOneOutput(run.settings)) {
        result = openOutputFolder(run.root, place.folders, run.settings.flushToDisk, folder);
    }
    if (!failed(result)) {
        const OutputFolderInUse inUse(folder);
        result = convertPreparedZipEntry(run.input, entry.findings, run.archivePath, run.settings, report, entry.prepared);
    }
    eraseProgressLine(report.progress);
    return reportResult(shown, result, run.settings, report);
}

}  // namespace

ResultCode listArchiveEntries(const std::string& inputPath, InputFile& input, ZipFileEntries& entries, bool& isArchive) {
    ResultCode result = openInputFile(inputPath, input);
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

void printOutcome(const std::string& shownPath, const DriverSettings& settings, const std::vector<std::string>& warnings,
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
    if (inputPath == standardInputPath) return convertFileAndReport(inputPath, settings);
    InputFile input;
    ZipFileEntries entries;
    bool isArchive = true;
    ResultCode result = listArchiveEntries(inputPath, input, entries, isArchive);
    if (!isArchive) return convertFileAndReport(inputPath, settings);
    if (failed(result)) return reportResult(inputPath, result, settings, FileReport{});
    const std::string root = settings.outputFolder ? settings.outputFolder : folderNamedAfter(inputPath);
    if (!settings.checkOnly && !intoOneOutput(settings)) {
        for (const ZipFolderEntry& folder : entries.folders) makeFolder(folder.name, root, settings.flushToDisk);
    }
    // Entries are checked ahead on other threads; their outputs are made, and their lines printed,
    // on this one in the directory's order, so that what one entry finds made by those before it
    // (a name taken, a file where a folder should be) is the same whatever the threads.
    const size_t count = countZipFileEntries(entries);
    const unsigned threads = threadsFor(settings);
    const ArchiveRun run{input, entries, root, inputPath, settings, threads > 1 && count > 1};
    FileOutcome outcome = FileOutcome::Converted;
    size_t handedOut = 0;
    result = checkInOrder<EntryUnderWay>(
        run.checkAhead ? threads : 1, [&](EntryUnderWay& entry) { entry.index = handedOut; return handedOut++ < count; },
        [&](EntryUnderWay& entry) { prepareEntry(run, entry); },
        [&](EntryUnderWay& entry) { outcome = worseOf(outcome, convertEntry(run, entry)); return true; });
    return failed(result) ? reportResult(inputPath, result, settings, FileReport{}) : outcome;
}
