#include "driver/command_line.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "driver/collection.h"
#include "driver/console.h"
#include "driver/convert_file.h"
#include "driver/joined_output.h"
#include "io/local_time.h"
#include "io/output_file.h"
#include "io/standard_streams.h"

#ifndef QUORVEXA_VERSION
#error "QUORVEXA_VERSION is set by the build"
#endif

namespace {

constexpr int exitConverted = 0;
constexpr int exitNothingDone = 1;
constexpr int exitSomeFailed = 2;
constexpr int exitSomeLeftOut = 3;  // every file converted, but some input held more than its output
constexpr int exitOutOfMemory = 255;

void printUsage(const char* programName) {
    std::fprintf(stderr,
                 "Usage: %s [OPTIONS] INPUT_FILE\n\n"
                 "  --gzip         output to gzip format\n"
                 "  --gzipname     output to gzip format with filename\n"
                 "  --zip          output to zip format (default)\n"
                 "  --zlib         output to zlib format\n"
                 "  --png#         output to PNG, # is original PNG file for header\n"
                 "  --no-verify    trust the checksums the input carries: copy without inflating\n"
                 "  --verify       inflate and check every stream first (the default)\n"
                 "  --no-sync      don't wait for outputs to reach the disk (for scratch files)\n"
                 "  --version      print the version and exit\n"
                 "  --entry=NAME   convert the ZIP entry named NAME instead of the first\n"
                 "  --all-entries  convert every file entry of a ZIP archive, each to its own output (-o, -c: into one)\n"
                 "  --             every later argument is an input file\n"
                 "  -o PATH        write the output to PATH; several input files: one output holds them all\n"
                 "  --output=PATH  the same as -o PATH\n"
                 "  --outdir=DIR   write each output into the folder DIR\n"
                 "  -c, --stdout   write the output to standard output (several input files: as for -o)\n"
                 "  -              as INPUT_FILE: read standard input (needs -o or -c)\n"
                 "  -f, --force    replace an existing output file or link\n"
                 "  -q, --quiet    print no banner, progress line or SUCCESS lines\n"
                 "  -t, --test     check each input file as a conversion would; write nothing\n"
                 "  -h, --help     print this help\n"
                 "  -T N           use at most N threads (default: one per processor)\n"
                 "  --threads=N    the same as -T N\n\n",
                 printable(programName).c_str());
    std::fprintf(stderr,
                 " The program accepts following file types as input:\n"
                 "   GZ, ZIP, ZLIB, PNG.\n\n"
                 " Deflate stream is copied without recompression.\n\n"
                 " When outputting to PNG, original PNG file is required for correct\n"
                 " header, example: %s --pngoriginalimage.png optimizedimage.zip\n\n",
                 printable(programName).c_str());
}

bool isEndOfOptions(const char* argument) {
    return std::strcmp(argument, "--") == 0;
}

bool isInputPath(const char* argument) {
    return argument[0] != '-' || std::strcmp(argument, standardInputPath) == 0;
}

enum class OptionPass { Convert, Usage, Version };

// Everything the command line says, read before anything is printed.
struct CommandLine {
    DriverSettings settings;
    std::vector<const char*> inputs;
    std::vector<std::string> unknown;
    std::string misuse;  // the first option given without its value
    OptionPass pass = OptionPass::Convert;
};

// False where the value can't be what the option takes.
using OptionAction = bool (*)(CommandLine& line, const char* value);

template <FormatCode format>
bool setFormat(CommandLine& line, const char*) {
    line.settings.outputFormat = format;
    return true;
}

template <bool DriverSettings::*setting, bool value>
bool setSwitch(CommandLine& line, const char*) {
    line.settings.*setting = value;
    return true;
}

template <const char* DriverSettings::*setting>
bool setPath(CommandLine& line, const char* value) {
    line.settings.*setting = value;
    return true;
}

bool setEntry(CommandLine& line, const char* value) {
    line.settings.entryName = value;
    return true;
}

bool setPngHeader(CommandLine& line, const char* value) {
    line.settings.pngHeaderPath = value;
    line.settings.outputFormat = FormatCode::Png;
    return true;
}

// Digits only, not 0. More threads than this would only wait on one another.
constexpr unsigned mostThreads = 1024;
bool setThreads(CommandLine& line, const char* value) {
    unsigned long long count = 0;
    for (const char* digit = value; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return false;
        count = std::min<unsigned long long>(count * 10 + static_cast<unsigned>(*digit - '0'), mostThreads);
    }
    line.settings.threads = static_cast<unsigned>(count);
    return count > 0;
}

// Help and the version are asked for anywhere; the first one asked for is answered.
template <OptionPass pass>
bool askFor(CommandLine& line, const char*) {
    if (line.pass == OptionPass::Convert) line.pass = pass;
    return true;
}

// One option, in the forms a user types: "-x" (bundled as getopt allows: -cq, -oPATH) and "--name"
// (exact; a value after "=" or as the next argument).
struct OptionSpec {
    char letter;            // '\0': no short form
    const char* longName;   // nullptr: no long form
    const char* valueName;  // what its value is, for the usage error; nullptr: it takes none
    OptionAction apply;
    // --pngPATH: the value may follow the name directly, and the next argument is taken only when
    // it doesn't look like an option. Without a value the option is unknown, as it always was.
    bool joinsBare = false;
};

constexpr OptionSpec options[] = {
    {'\0', "--gzip", nullptr, setFormat<FormatCode::Gzip>},
    {'\0', "--gzipname", nullptr, setFormat<FormatCode::GzipWithName>},
    {'\0', "--zip", nullptr, setFormat<FormatCode::Zip>},
    {'\0', "--zlib", nullptr, setFormat<FormatCode::Zlib>},
    {'\0', "--png", "path", setPngHeader, true},
    {'c', "--stdout", nullptr, setSwitch<&DriverSettings::toStandardOutput, true>},
    {'f', "--force", nullptr, setSwitch<&DriverSettings::replaceExisting, true>},
    {'q', "--quiet", nullptr, setSwitch<&DriverSettings::quiet, true>},
    {'t', "--test", nullptr, setSwitch<&DriverSettings::checkOnly, true>},
    {'\0', "--verify", nullptr, setSwitch<&DriverSettings::verify, true>},  // the default; kept for old scripts
    {'\0', "--no-verify", nullptr, setSwitch<&DriverSettings::verify, false>},
    {'\0', "--no-sync", nullptr, setSwitch<&DriverSettings::flushToDisk, false>},
    {'h', "--help", nullptr, askFor<OptionPass::Usage>},
    {'\0', "--version", nullptr, askFor<OptionPass::Version>},
    {'o', "--output", "path", setPath<&DriverSettings::outputPath>},
    {'\0', "--outdir", "path", setPath<&DriverSettings::outputFolder>},
    {'\0', "--entry", "name", setEntry},
    {'\0', "--all-entries", nullptr, setSwitch<&DriverSettings::allEntries, true>},
    {'T', "--threads", "positive whole number", setThreads},
};

void noteUnknown(CommandLine& line, const std::string& argument) {
    if (std::find(line.unknown.begin(), line.unknown.end(), argument) == line.unknown.end()) line.unknown.push_back(argument);
}

// The option a long argument names; joined is set to the value that came with it, if any.
const OptionSpec* findLongOption(const char* argument, const char*& joined) {
    for (const OptionSpec& option : options) {
        const size_t length = option.longName ? std::strlen(option.longName) : 0;
        if (length == 0 || std::strncmp(argument, option.longName, length) != 0) continue;
        const char* rest = argument + length;
        joined = nullptr;
        if (*rest == '\0') return &option;
        if (!option.valueName) continue;  // --gzipx, --zip=3: nothing known
        if (*rest == '=' || option.joinsBare) {
            joined = *rest == '=' ? rest + 1 : rest;
            return &option;
        }
    }
    return nullptr;
}

// An empty value is none: "-o ''" can't name an output.
void applyValue(const OptionSpec& option, const std::string& name, const char* argument, const char* value, CommandLine& line) {
    const bool given = value != nullptr && *value != '\0';
    if (given && option.apply(line, value)) return;
    if (!given && option.joinsBare) {
        noteUnknown(line, argument);
    } else if (line.misuse.empty()) {
        line.misuse = "Option " + name + " needs a " + option.valueName + ".\n";
    }
}

// Reads argv[i], "--name", "--name=VALUE" or "--name VALUE"; returns the index of the last argument used.
int readLongOption(int argc, char** argv, int i, CommandLine& line) {
    const char* argument = argv[i];
    if (std::strncmp(argument, "--h", 3) == 0) {
        askFor<OptionPass::Usage>(line, nullptr);
        return i;
    }
    const char* value = nullptr;
    const OptionSpec* option = findLongOption(argument, value);
    if (option == nullptr) {
        noteUnknown(line, argument);
    } else if (option->valueName == nullptr) {
        option->apply(line, nullptr);
    } else {
        const bool nextIsValue = !value && i + 1 < argc && !(option->joinsBare && argv[i + 1][0] == '-');
        if (nextIsValue) value = argv[++i];
        applyValue(*option, option->longName, argument, value, line);
    }
    return i;
}

// Reads the letters of argv[i] ("-cq", "-oPATH", "-qo PATH"); a letter that takes a value takes the
// rest of the argument, or else the next one. Returns the index of the last argument used.
int readShortOptions(int argc, char** argv, int i, CommandLine& line) {
    for (const char* letter = argv[i] + 1; *letter != '\0'; ++letter) {
        const std::string name = std::string("-") + *letter;
        const auto option = std::find_if(std::begin(options), std::end(options),
                                         [&](const OptionSpec& known) { return known.letter == *letter; });
        if (option == std::end(options)) {
            noteUnknown(line, name);
        } else if (option->valueName == nullptr) {
            option->apply(line, nullptr);
        } else {
            const char* value = letter[1] != '\0' ? letter + 1 : i + 1 < argc ? argv[++i] : nullptr;
            applyValue(*option, name, name.c_str(), value, line);
            break;
        }
    }
    return i;
}

CommandLine readCommandLine(int argc, char** argv) {
    CommandLine line;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (optionsEnded || isInputPath(argument)) {
            line.inputs.push_back(argument);
        } else if (isEndOfOptions(argument)) {
            optionsEnded = true;
        } else if (argument[1] == '-') {
            i = readLongOption(argc, argv, i, line);
        } else {
            i = readShortOptions(argc, argv, i, line);
        }
    }
    return line;
}

// The first way the options contradict each other or the inputs; empty when there is none.
std::string misuseOf(const CommandLine& line) {
    const DriverSettings& settings = line.settings;
    const int destinations = (settings.outputPath != nullptr) + (settings.outputFolder != nullptr) + settings.toStandardOutput;
    const auto readsInput = std::count_if(line.inputs.begin(), line.inputs.end(),
                                          [](const char* input) { return std::strcmp(input, standardInputPath) == 0; });
    if (!line.misuse.empty()) return line.misuse;
    if (destinations > 1) return "Give only one of -o, --outdir and -c.\n";
    if (settings.entryName && settings.allEntries) return "Give only one of --entry and --all-entries.\n";
    // A PNG holds one image: its stream can't be joined to another.
    if (destinations == 1 && !settings.outputFolder && line.inputs.size() > 1 && settings.outputFormat == FormatCode::Png) {
        return std::string(settings.outputPath ? "-o" : "-c") + " with --png takes exactly one input file.\n";
    }
    if (destinations == 1 && !settings.outputFolder && settings.allEntries && settings.outputFormat == FormatCode::Png &&
        line.inputs.size() == 1 && fileEntriesOf(line.inputs.front()) > 1) {
        return std::string(settings.outputPath ? "-o" : "-c") + " with --png takes exactly one stream: " +
               printable(line.inputs.front()) + " holds several file entries.\n";
    }
    if (readsInput > 0 && !settings.outputPath && !settings.toStandardOutput && !settings.checkOnly) {
        return "Standard input (-) needs -o or -c.\n";
    }
    if (readsInput > 1) return "Standard input (-) can be read only once.\n";
    if (readsInput > 0 && standardStreamIsTerminal(StandardStream::Input)) {
        return "Standard input is a terminal: pipe or redirect the file into it.\n";
    }
    if (settings.toStandardOutput && !settings.checkOnly && standardStreamIsTerminal(StandardStream::Output)) {
        return "Standard output is a terminal: redirect it, or use -o.\n";
    }
    return "";
}

// Several streams into one output, all or nothing: written, every stream has its lines; not
// written, only those that failed have theirs, and no line says SUCCESS.
FileOutcome convertIntoOneAndReport(const std::vector<const char*>& inputPaths, const DriverSettings& settings) {
    std::vector<StreamOutcome> outcomes;
    const bool written = writeJoinedOutput(inputPaths, settings, outcomes);
    const std::string outputPath = outputPathFor(inputPaths.front(), settings);
    bool leftOut = false;
    for (const StreamOutcome& stream : outcomes) {
        if (!written && !failed(stream.result)) continue;
        printOutcome(stream.inputPath, settings, stream.warnings, stream.result, outputPath, stream.entryName);
        leftOut = leftOut || !stream.warnings.empty();
    }
    if (!written) return FileOutcome::Failed;
    return leftOut ? FileOutcome::ConvertedLeavingOut : FileOutcome::Converted;
}

// -o or -c with several input paths, or with --all-entries: one output holds every stream. (A
// check writes nothing: each input is checked on its own. A PNG holds one stream: an archive's
// entries go to it as --all-entries takes them, one to each output.)
bool joinsInputs(const CommandLine& line) {
    const DriverSettings& settings = line.settings;
    const bool streams = line.inputs.size() > 1 || (settings.allEntries && settings.outputFormat != FormatCode::Png);
    return (settings.outputPath || settings.toStandardOutput) && streams && !settings.checkOnly;
}

// A failed write of the version (a full disk, a closed pipe) must not pass for success.
int printVersion() {
    std::fputs("quorvexa " QUORVEXA_VERSION "\n", stdout);
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return exitConverted;
    printInColour(colourError, "ERROR: Couldn't write to standard output.\n");
    return exitNothingDone;
}

}  // namespace

int runQuorvexa(int argc, char** argv) {
    const char* programName = argc > 0 ? argv[0] : "quorvexa";
    const CommandLine line = readCommandLine(argc, argv);
    if (!line.settings.quiet) std::fputs("\nQuorvexa v" QUORVEXA_VERSION " by Tessivander\n\n", stderr);
    switch (line.pass) {
    case OptionPass::Usage: printUsage(programName); return exitNothingDone;
    case OptionPass::Version: return printVersion();
    case OptionPass::Convert: break;
    }
    for (const std::string& option : line.unknown) printInColour(colourWarning, "WARNING: Unknown option " + option + " was ignored.\n");
    const std::string misuse = misuseOf(line);
    if (!misuse.empty()) {
        printInColour(colourError, "ERROR: " + misuse);
        return exitNothingDone;
    }
    if (line.inputs.empty()) {
        std::fprintf(stderr, "ERROR: Please provide filename to convert.\nFor help, type: %s --h\n",
                     printable(programName).c_str());
        return exitNothingDone;
    }

    installOutputCleanupHandlers();
    loadLocalTimeZone();
    bool anyFailed = false;
    bool anyLeftOut = false;
    try {
        const auto note = [&](FileOutcome outcome) {
            anyFailed = anyFailed || outcome == FileOutcome::Failed;
            anyLeftOut = anyLeftOut || outcome == FileOutcome::ConvertedLeavingOut;
        };
        if (joinsInputs(line)) {
            note(convertIntoOneAndReport(line.inputs, line.settings));
        } else {
            for (const char* input : line.inputs) {
                note(line.settings.allEntries ? convertAllEntries(input, line.settings) : convertFileAndReport(input, line.settings));
            }
        }
    } catch (const std::bad_alloc&) {
        return exitOutOfMemory;
    }
    if (anyFailed) return exitSomeFailed;
    return anyLeftOut ? exitSomeLeftOut : exitConverted;
}
