#include "driver/command_line.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "driver/console.h"
#include "driver/convert_file.h"
#include "driver/messages.h"
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
                 "  --             every later argument is an input file\n"
                 "  -o PATH        write the output to PATH (one input file only)\n"
                 "  --output=PATH  the same as -o PATH\n"
                 "  --outdir=DIR   write each output into the folder DIR\n"
                 "  -c, --stdout   write the output to standard output (one input file only)\n"
                 "  -              as INPUT_FILE: read standard input (needs -o or -c)\n"
                 "  -f, --force    replace an existing output file or link\n"
                 "  -q, --quiet    print no banner and no SUCCESS lines\n"
                 "  -t, --test     check each input file as a conversion would; write nothing\n"
                 "  -h, --help     print this help\n\n",
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
    std::string misuse;  // the first option given without its path
    OptionPass pass = OptionPass::Convert;
};

// Applies an option that takes no path; false when the argument is none of them.
bool applyFlag(const char* argument, DriverSettings& settings) {
    const struct {
        const char* name;
        FormatCode format;
    } formats[] = {{"--gzip", FormatCode::Gzip},
                   {"--gzipname", FormatCode::GzipWithName},
                   {"--zip", FormatCode::Zip},
                   {"--zlib", FormatCode::Zlib}};
    for (const auto& [name, format] : formats) {
        if (std::strcmp(argument, name) == 0) {
            settings.outputFormat = format;
            return true;
        }
    }
    const struct {
        const char* shortName;
        const char* longName;
        bool DriverSettings::*setting;
        bool value;
    } switches[] = {{"-c", "--stdout", &DriverSettings::toStandardOutput, true},
                    {"-f", "--force", &DriverSettings::replaceExisting, true},
                    {"-q", "--quiet", &DriverSettings::quiet, true},
                    {"-t", "--test", &DriverSettings::checkOnly, true},
                    {"--verify", "--verify", &DriverSettings::verify, true},  // the default; kept for old scripts
                    {"--no-verify", "--no-verify", &DriverSettings::verify, false},
                    {"--no-sync", "--no-sync", &DriverSettings::flushToDisk, false}};
    if (std::strncmp(argument, "--entry=", 8) == 0) {
        settings.entryName = argument + 8;
        return true;
    }
    for (const auto& [shortName, longName, setting, value] : switches) {
        if (std::strcmp(argument, shortName) == 0 || std::strcmp(argument, longName) == 0) {
            settings.*setting = value;
            return true;
        }
    }
    return false;
}

// Reads an option that takes a path, given as "--name=PATH" or as "NAME PATH" (--png also as
// "--pngPATH"); returns the index of the last argument used, or -1 when the argument is none of them.
int applyPathOption(int argc, char** argv, int i, CommandLine& line) {
    const char* argument = argv[i];
    const struct {
        const char* shortName;
        const char* longName;
        const char* DriverSettings::*setting;
    } options[] = {{"-o", "--output", &DriverSettings::outputPath},
                   {"--outdir", "--outdir", &DriverSettings::outputFolder},
                   {"--png", "--png", &DriverSettings::pngHeaderPath}};
    for (const auto& [shortName, longName, setting] : options) {
        const size_t length = std::strlen(longName);
        const bool isPng = setting == &DriverSettings::pngHeaderPath;
        const bool alone = std::strcmp(argument, shortName) == 0 || std::strcmp(argument, longName) == 0;
        const char* path = nullptr;
        if (std::strncmp(argument, longName, length) == 0 && argument[length] == '=') {
            path = argument + length + 1;
        } else if (isPng && std::strncmp(argument, longName, length) == 0 && argument[length] != '\0') {
            path = argument + length;
        } else if (alone && i + 1 < argc && !(isPng && argv[i + 1][0] == '-')) {
            path = argv[++i];
        } else if (!alone) {
            continue;
        }
        if (path == nullptr || *path == '\0') {
            // A --png without its path is an unknown option, as it always was.
            if (isPng) return -1;
            if (line.misuse.empty()) line.misuse = std::string("Option ") + shortName + " needs a path.\n";
            return i;
        }
        line.settings.*setting = path;
        if (isPng) line.settings.outputFormat = FormatCode::Png;
        return i;
    }
    return -1;
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
        } else if (std::strcmp(argument, "-h") == 0 || std::strncmp(argument, "--h", 3) == 0) {
            if (line.pass == OptionPass::Convert) line.pass = OptionPass::Usage;
        } else if (std::strcmp(argument, "--version") == 0) {
            if (line.pass == OptionPass::Convert) line.pass = OptionPass::Version;
        } else if (!applyFlag(argument, line.settings)) {
            const int last = applyPathOption(argc, argv, i, line);
            if (last >= 0) {
                i = last;
            } else if (std::find(line.unknown.begin(), line.unknown.end(), argument) == line.unknown.end()) {
                line.unknown.emplace_back(argument);
            }
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
    if (destinations == 1 && !settings.outputFolder && line.inputs.size() > 1) {
        return std::string(settings.outputPath ? "-o" : "-c") + " takes exactly one input file.\n";
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

std::string successMessage(const DriverSettings& settings, const std::string& outputPath) {
    if (settings.checkOnly) return "SUCCESS: Checked.\n";
    if (settings.toStandardOutput) return "SUCCESS: Written to standard output.\n";
    return "SUCCESS: Saved as " + outputPath + ".\n";
}

enum class FileOutcome { Converted, ConvertedLeavingOut, Failed };

// Converts one input path and prints its warnings and result line. Every warning says that the
// output holds less than the input did.
FileOutcome convertAndReport(const char* inputPath, const DriverSettings& settings) {
    FileReport report;
    report.outputPath = outputPathFor(inputPath, settings);
    report.progress.path = inputPath;
    const ResultCode result = convertFile(inputPath, settings, report);
    eraseProgressLine(report.progress);
    for (const std::string& warning : report.warnings) printStatusLine(inputPath, colourWarning, warning);
    if (!failed(result)) {
        if (!settings.quiet) printStatusLine(inputPath, colourSuccess, successMessage(settings, report.outputPath));
        return report.warnings.empty() ? FileOutcome::Converted : FileOutcome::ConvertedLeavingOut;
    }
    const std::string headerPath = settings.pngHeaderPath ? settings.pngHeaderPath : "";
    const std::string message = resultMessage(result, report.outputPath, headerPath, settings.entryName.value_or(""));
    printStatusLine(inputPath, colourError, "ERROR: " + message);
    return FileOutcome::Failed;
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
    bool anyFailed = false;
    bool anyLeftOut = false;
    try {
        for (const char* input : line.inputs) {
            const FileOutcome outcome = convertAndReport(input, line.settings);
            anyFailed = anyFailed || outcome == FileOutcome::Failed;
            anyLeftOut = anyLeftOut || outcome == FileOutcome::ConvertedLeavingOut;
        }
    } catch (const std::bad_alloc&) {
        return exitOutOfMemory;
    }
    if (anyFailed) return exitSomeFailed;
    return anyLeftOut ? exitSomeLeftOut : exitConverted;
}
