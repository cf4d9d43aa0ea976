// Converting one input file, step by step: detect and read the input, read the header PNG, apply
// the no-overwrite rule, check the stream, check that the header fits it, write. The first step
// that fails decides the result.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "containers/png_container.h"
#include "core/conversion.h"
#include "core/result_code.h"
#include "driver/console.h"
#include "io/input_file.h"
#include "io/output_file.h"
#include "io/region_reader.h"
#include "stream/stream_check.h"

// What the command line decided; it carries over from one input file to the next.
struct DriverSettings {
    FormatCode outputFormat = FormatCode::Zip;
    const char* pngHeaderPath = nullptr;
    bool verify = true;                  // --no-verify turns it off
    bool flushToDisk = true;             // --no-sync turns it off
    std::optional<std::string> entryName;  // --entry: the ZIP file entry to convert
    bool allEntries = false;             // --all-entries: every ZIP file entry, each a stream
    const char* outputPath = nullptr;    // -o: the output of the one input
    const char* outputFolder = nullptr;  // --outdir: where each output goes
    bool toStandardOutput = false;       // -c
    bool replaceExisting = false;        // -f
    bool quiet = false;                  // -q: no banner, no progress line, no SUCCESS lines
    bool checkOnly = false;              // -t: every check, no output
    unsigned threads = 0;                // -T: at most this many threads; 0: one per processor
    // The shortest stream whose output is copied beside its check: below it, a thread or a file
    // made ahead costs more than the copy. The fuzz target lowers it, so that the copy is fuzzed too.
    uint64_t shortestCopiedEarly = uint64_t{1} << 20;
};

// At most this many threads do the work: -T, else one per processor.
unsigned threadsFor(const DriverSettings& settings);

// The settings of a stream checked ahead on one of several threads: it starts none of its own, and
// draws no progress line (the calling thread owns the console).
DriverSettings settingsCheckedAhead(const DriverSettings& settings);

// The input path that stands for standard input.
inline constexpr const char* standardInputPath = "-";

// Opens an input path: "-" is standard input, staged (and the same staged bytes again later).
ResultCode openInput(const std::string& inputPath, InputFile& input);

// What the console shows of one file: a progress line while it takes long, then the warnings and
// the result line.
struct FileReport {
    std::string outputPath;
    std::vector<std::string> warnings;
    ProgressLine progress;
};

// What -c and -f make of an output: standard output, a file that may replace one, or a new file.
inline OutputTarget outputTargetFor(const DriverSettings& settings) {
    if (settings.toStandardOutput) return OutputTarget::StandardOutput;
    return settings.replaceExisting ? OutputTarget::ReplacedFile : OutputTarget::NewFile;
}

// The input path with the output format's extension appended (ZIP's for an unknown format).
std::string outputPathFor(const std::string& inputPath, FormatCode outputFormat);

// Where the settings put the input's output: the -o path, the input's file name in the --outdir
// folder plus the extension, "standard output" for -c, else outputPathFor.
std::string outputPathFor(const std::string& inputPath, const DriverSettings& settings);

// The name an output stores: the carried one as ZIP allows it (cleanZipName), or where there is none
// or nothing of it is left, the input path in the containers' form (io/path_names.h), cleaned the
// same way, less the extension of its last component.
std::vector<uint8_t> storedNameFor(const std::optional<std::vector<uint8_t>>& carried, const std::string& inputPath);

// report.outputPath must already hold outputPathFor(inputPath, settings). The input path "-" is
// standard input.
ResultCode convertFile(const std::string& inputPath, const DriverSettings& settings, FileReport& report);

// What an output of the format needs from each stream's data.
OutputNeeds outputNeedsFor(FormatCode outputFormat);

// One input of an output that holds several streams, checked and ready to be written: the input
// stays open (an archive's, as long as any of its entries needs it), its data region read through
// walk (regionReader), and facts.joined points into sums.
struct CheckedInput {
    std::shared_ptr<InputFile> input;
    NextExtent walk = nullptr;
    InputFindings findings;
    StreamSums sums;
    OutputFacts facts;
};

// Every step of convertFile before writing, for one stream of an output that holds several: the
// input read, the output path (report.outputPath) checked, the stream checked for needs, and the
// facts the writer takes resolved. report gets the warnings and the progress line.
ResultCode checkInputOfJoined(const std::string& inputPath, const DriverSettings& settings, OutputNeeds needs,
                              FileReport& report, CheckedInput& checked);

// The same for an entry of a ZIP archive: checked.input is the archive, and checked.findings what
// readZipFileEntry read of the entry. A name the entry lacks is derived from archivePath.
ResultCode checkZipEntryOfJoined(const std::string& archivePath, const DriverSettings& settings, OutputNeeds needs,
                                 FileReport& report, CheckedInput& checked);

// Whether the open input is read as a ZIP archive (by its first bytes, or by an end record behind
// something that no container claims).
bool readsAsZipArchive(InputFile& input);

// An entry's conversion up to its output path, so that entries can be prepared on other threads
// ahead of the outputs made in order on one: the header PNG read and, where checked ahead, the
// stream's verdict. warningsRead are the entry's warnings where its output path then fails.
struct StreamPrepared {
    ResultCode headerResult = ResultCode::Success;
    PngHeader header;
    OutputNeeds needs;
    std::vector<std::string> warningsRead;
    bool checked = false;
    ResultCode checkResult = ResultCode::Success;
    StreamSums sums;
};

// The entry of the ZIP archive open in input, which readZipFileEntry read into findings, prepared on
// any thread: nothing is made and nothing drawn. With checkAhead its stream is checked too, alone on
// the thread, unless something stood at outputPath when looked at (that is then its result, found
// before the stream is touched).
void prepareZipEntry(InputFile& input, InputFindings& findings, const std::string& outputPath, const DriverSettings& settings,
                     bool checkAhead, StreamPrepared& prepared);

// Converts the entry prepared as convertFile converts a file from there on: the output path
// (report.outputPath), the stream unless checked ahead, the write. A name the entry lacks is derived
// from namedAfter.
ResultCode convertPreparedZipEntry(InputFile& input, InputFindings& findings, const std::string& namedAfter,
                                   const DriverSettings& settings, FileReport& report, StreamPrepared& prepared);
