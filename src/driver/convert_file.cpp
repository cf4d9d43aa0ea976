#include "driver/convert_file.h"

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <vector>

#include "containers/gzip_container.h"
#include "containers/png_container.h"
#include "containers/zip_container.h"
#include "containers/zlib_container.h"
#include "driver/early_copy.h"
#include "driver/output_placement.h"
#include "io/local_time.h"
#include "io/output_file.h"
#include "io/path_names.h"
#include "io/processors.h"
#include "io/standard_streams.h"
#include "stream/stored_blocks.h"
#include "stream/stream_check.h"
#include "stream/timestamp.h"
#include "stream/work_pool.h"

namespace {

struct InputContainer {
    FormatCode format;
    bool (*claims)(const uint8_t* head, size_t headLength);  // decided by the first bytes
    ResultCode (*read)(InputFile& input, const DriverSettings& settings, InputFindings& findings);
    const RegionRules* region;
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

// Opens the input path and reads its container.
ResultCode readInput(const std::string& inputPath, InputFile& input, const DriverSettings& settings,
                     const InputContainer*& container, InputFindings& findings) {
    ResultCode result = openInput(inputPath, input);
    if (!failed(result)) result = detectInputContainer(input, container);
    if (!failed(result)) result = container->read(input, settings, findings);
    takeFilePermissions(input, findings);
    return result;
}

// The check's arguments, also for the thread it runs on beside the early copy.
struct CheckOfInput {
    InputFile& input;
    const DriverSettings& settings;
    OutputNeeds needs;
    const InputContainer& container;
    InputFindings& findings;
    StreamSums& sums;
    FileReport& report;
    WorkPool& pool;
};

ResultCode checkInput(CheckOfInput& check, CheckWatch* watch) {
    try {
        // -q keeps the console to warnings and errors: no progress line either.
        const ReadProgress progress = check.settings.quiet ? ReadProgress{} : ReadProgress{showProgress, &check.report.progress};
        return checkStream(check.input, check.findings, *check.container.region, check.needs, check.settings.verify,
                           check.sums, progress, watch, &check.pool);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

ResultCode runCheckOfInput(void* context, CheckWatch& watch) {
    return checkInput(*static_cast<CheckOfInput*>(context), &watch);
}

// Where the check reads the stream through, verified or not (unverified: a GZIP input's first member
// is walked, or a missing checksum is inflated for), the copy runs beside it.
bool copiesEarly(const DriverSettings& settings, const OutputContainer& output, const InputContainer& container,
                 OutputNeeds needs, const InputFindings& findings) {
    return !settings.checkOnly && output.writeHead && !findings.carried.payloadIsStored &&
           findings.region.length >= settings.shortestCopiedEarly &&
           checkReadsStream(findings, *container.region, needs, settings.verify);
}

// The header PNG is read before the stream is checked, which then walks the rows it describes.
ResultCode readHeader(const DriverSettings& settings, const OutputContainer& output, PngHeader& header,
                      OutputNeeds& needs) {
    needs = output.needs;
    if (output.format != FormatCode::Png) return ResultCode::Success;
    needs.rows = &header.rows;
    return readPngHeader(settings.pngHeaderPath ? settings.pngHeaderPath : "", header);
}

// Checks the stream, copying it early where that pays: on a second thread where one is allowed and
// can be started (not past a process or cgroup limit), else from the bytes the check reads where it
// verifies; otherwise the output is written after the check.
ResultCode checkAndCopy(const std::string& namedAfter, const OutputContainer& output, OutputTarget target,
                        CheckOfInput& check, std::optional<EarlyCopy>& early) {
    const DriverSettings& settings = check.settings;
    const InputFindings& findings = check.findings;
    if (!copiesEarly(settings, output, check.container, check.needs, findings)) return checkInput(check, nullptr);
    StreamSums guessed;
    guessed.streamLength = findings.region.length - findings.region.trailerLength;
    EarlyCopy& copy = early.emplace();
    copy.writeHead = output.writeHead;
    copy.writeTail = output.writeTail;
    copy.guess = resolveOutputFacts(namedAfter, output, findings.carried, guessed);
    copy.path = check.report.outputPath;
    copy.target = target;
    copy.flushToDisk = settings.flushToDisk;
    const CheckRun run{runCheckOfInput, &check};
    if (check.pool.threadsAllowed >= 2) {
        const RegionReader stream = regionReader(check.input, findings.region.extents, check.container.region->walk);
        ResultCode result = ResultCode::Success;
        if (checkWhileCopying(copy, stream, check.pool, run, result)) return result;
    }
    if (settings.verify) return checkWhileFeeding(copy, run);
    early.reset();
    return checkInput(check, nullptr);
}

// The header PNG must describe an image of exactly the data's size and rows, where those were measured.
ResultCode checkHeaderFits(const OutputContainer& output, const StreamSums& sums, const PngHeader& header) {
    if (output.format != FormatCode::Png || !sums.size) return ResultCode::Success;
    const bool fits = *sums.size == header.imageDataSize && sums.rowLeadsValid;
    return fits ? ResultCode::Success : ResultCode::HeaderPngMismatch;
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
    const ResultCode there = checkOutputPathFor(outputPath, target);
    // Where nothing at all stands at a new file's path, nothing there can be the input either: the
    // one look does for both checks.
    if (!failed(there) && target == OutputTarget::NewFile) return there;
    const ResultCode result = checkOutputIsNotInput(outputPath, target, input, settings);
    return failed(result) ? result : there;
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

ResultCode openInput(const std::string& inputPath, InputFile& input) {
    return isStandardInput(inputPath) ? stageStandardInput(input) : openInputFile(inputPath, input);
}

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

unsigned threadsFor(const DriverSettings& settings) {
    if (settings.threads > 0) return settings.threads;
    // Asked once a run: a collection asks for every entry, and the answer stays the same.
    static const unsigned processors = processorsAvailable();
    return processors;
}

DriverSettings settingsCheckedAhead(const DriverSettings& settings) {
    DriverSettings alone = settings;
    alone.threads = 1;
    alone.quiet = true;
    return alone;
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

// Reads the header PNG; the warnings so far are the stream's where its output path then fails.
void prepareStream(const DriverSettings& settings, const InputFindings& findings, StreamPrepared& prepared) {
    prepared.headerResult = readHeader(settings, outputContainerFor(settings.outputFormat), prepared.header, prepared.needs);
    prepared.warningsRead = findings.warnings;
}

// What follows the header PNG: the output path, the stream (unless checked ahead), the write.
ResultCode convertPrepared(InputFile& input, const InputContainer& container, InputFindings& findings,
                           const std::string& namedAfter, const DriverSettings& settings, FileReport& report,
                           StreamPrepared& prepared) {
    const OutputContainer& output = outputContainerFor(settings.outputFormat);
    std::optional<EarlyCopy> early;
    WorkPool pool(threadsFor(settings));
    const OutputTarget target = outputTargetFor(settings);
    ResultCode result = prepared.headerResult;
    if (!failed(result)) result = checkOutputPath(report.outputPath, input, settings);
    if (failed(result)) {
        report.warnings = prepared.warningsRead;
        return result;
    }
    if (prepared.checked) {
        result = prepared.checkResult;
    } else {
        CheckOfInput check{input, settings, prepared.needs, container, findings, prepared.sums, report, pool};
        result = checkAndCopy(namedAfter, output, target, check, early);
    }
    report.warnings = findings.warnings;
    if (!failed(result)) result = checkHeaderFits(output, prepared.sums, prepared.header);
    if (failed(result) || settings.checkOnly) return result;
    const OutputFacts facts = resolveOutputFacts(namedAfter, output, findings.carried, prepared.sums);
    const RegionReader stream = regionReader(input, findings.region.extents, container.region->walk);
    const OutputPlace place{report.outputPath, target, settings};
    return putOutputInPlace(output, facts, input, stream, prepared.header, place, prepared.sums, early);
}

ResultCode convertFindings(InputFile& input, const InputContainer& container, InputFindings& findings,
                           const std::string& namedAfter, const DriverSettings& settings, FileReport& report) {
    StreamPrepared prepared;
    prepareStream(settings, findings, prepared);
    return convertPrepared(input, container, findings, namedAfter, settings, report, prepared);
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

void prepareZipEntry(InputFile& input, InputFindings& findings, const std::string& outputPath, const DriverSettings& settings,
                     bool checkAhead, StreamPrepared& prepared) {
    try {
        takeFilePermissions(input, findings);
        prepareStream(settings, findings, prepared);
        if (!checkAhead || failed(prepared.headerResult) || failed(checkOutputPath(outputPath, input, settings))) return;
        const DriverSettings alone = settingsCheckedAhead(settings);
        WorkPool pool(alone.threads);
        FileReport report;
        CheckOfInput check{input, alone, prepared.needs, inputContainers.front(), findings, prepared.sums, report, pool};
        prepared.checkResult = checkInput(check, nullptr);
        prepared.checked = true;
    } catch (const std::bad_alloc&) {
        prepared.headerResult = ResultCode::OutOfMemory;
    }
}

ResultCode convertPreparedZipEntry(InputFile& input, InputFindings& findings, const std::string& namedAfter,
                                   const DriverSettings& settings, FileReport& report, StreamPrepared& prepared) {
    try {
        return convertPrepared(input, inputContainers.front(), findings, namedAfter, settings, report, prepared);
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
    WorkPool pool(threadsFor(settings));
    ResultCode result = checkOutputPath(report.outputPath, input, settings);
    if (!failed(result)) {
        CheckOfInput check{input, settings, needs, container, checked.findings, checked.sums, report, pool};
        result = checkInput(check, nullptr);
    }
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
