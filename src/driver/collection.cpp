#include "driver/collection.h"

#include <algorithm>
#include <new>
#include <vector>

#include "containers/zip_container.h"
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

// The entry is read before its folder is made: an entry that can't be read leaves nothing behind.
FileOutcome convertEntry(InputFile& input, const ZipFileEntries& entries, size_t index, const std::string& root,
                         const std::string& archivePath, const DriverSettings& settings) {
    const std::vector<uint8_t>& name = entries.files[index].name;
    const std::string shown = archivePath + ":" + std::string(name.begin(), name.end());
    const bool intoOne = intoOneOutput(settings);
    const EntryPlace place = intoOne ? EntryPlace{{}, outputPathFor(archivePath, settings)} : placeOf(name, root, archivePath, settings);
    FileReport report;
    report.outputPath = place.outputPath;
    report.progress.path = shown;
    InputFindings findings;
    OutputFolder folder;
    ResultCode result = readZipFileEntry(input, entries, index, findings);
    if (!failed(result) && !settings.checkOnly && !intoOne) result = openOutputFolder(root, place.folders, settings.flushToDisk, folder);
    if (!failed(result)) {
        const OutputFolderInUse inUse(folder);
        result = convertZipEntry(input, findings, archivePath, settings, report);
    }
    eraseProgressLine(report.progress);
    return reportResult(shown, result, settings, report);
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
    FileOutcome outcome = FileOutcome::Converted;
    for (size_t i = 0; i < countZipFileEntries(entries); ++i) {
        outcome = worseOf(outcome, convertEntry(input, entries, i, root, inputPath, settings));
    }
    return outcome;
}
