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
                 "  --png#         output to PNG, # is original PNG file for header\n\n",
                 programName);
    std::fprintf(stderr,
                 " The program accepts following file types as input:\n"
                 "   GZ, ZIP, ZLIB, PNG.\n\n"
                 " Deflate stream is copied without recompression.\n\n"
                 " When outputting to PNG, original PNG file is required for correct\n"
                 " header, example: %s --pngoriginalimage.png optimizedimage.zip\n\n",
                 programName);
}

bool isEndOfOptions(const char* argument) {
    return std::strcmp(argument, "--") == 0;
}

// Applies one option to the settings; false when the option is not one the program knows.
bool applyOption(const char* argument, DriverSettings& settings) {
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
    if (std::strncmp(argument, "--png", 5) == 0 && argument[5] != '\0') {
        settings.outputFormat = FormatCode::Png;
        settings.pngHeaderPath = argument + 5;
        return true;
    }
    if (std::strcmp(argument, "--verify") == 0) return true;  // the default; kept for old scripts
    if (std::strcmp(argument, "--no-sync") == 0) {
        settings.flushToDisk = false;
        return true;
    }
    if (std::strncmp(argument, "--entry=", 8) == 0) {
        settings.entryName = argument + 8;
        return true;
    }
    if (std::strcmp(argument, "--no-verify") == 0) settings.verify = false;
    return std::strcmp(argument, "--no-verify") == 0;
}

enum class OptionPass { Convert, Usage, Version };

OptionPass readOptions(int argc, char** argv, DriverSettings& settings, std::vector<std::string>& unknown) {
    for (int i = 1; i < argc && !isEndOfOptions(argv[i]); ++i) {
        if (argv[i][0] != '-') continue;
        if (std::strncmp(argv[i], "--h", 3) == 0) return OptionPass::Usage;
        if (std::strcmp(argv[i], "--version") == 0) return OptionPass::Version;
        if (!applyOption(argv[i], settings) && std::find(unknown.begin(), unknown.end(), argv[i]) == unknown.end()) {
            unknown.emplace_back(argv[i]);
        }
    }
    return OptionPass::Convert;
}

enum class FileOutcome { Converted, ConvertedLeavingOut, Failed };

// Converts one input path and prints its warnings and result line. Every warning says that the
// output holds less than the input did.
FileOutcome convertAndReport(const char* inputPath, const DriverSettings& settings) {
    FileReport report;
    report.outputPath = outputPathFor(inputPath, settings.outputFormat);
    report.progress.path = inputPath;
    const ResultCode result = convertFile(inputPath, settings, report);
    eraseProgressLine(report.progress);
    for (const std::string& warning : report.warnings) printStatusLine(inputPath, colourWarning, warning);
    if (!failed(result)) {
        printStatusLine(inputPath, colourSuccess, "SUCCESS: Saved as " + report.outputPath + ".\n");
        return report.warnings.empty() ? FileOutcome::Converted : FileOutcome::ConvertedLeavingOut;
    }
    const std::string headerPath = settings.pngHeaderPath ? settings.pngHeaderPath : "";
    const std::string message = resultMessage(result, report.outputPath, headerPath, settings.entryName.value_or(""));
    printStatusLine(inputPath, colourError, "ERROR: " + message);
    return FileOutcome::Failed;
}

}  // namespace

int runQuorvexa(int argc, char** argv) {
    std::fputs("\nQuorvexa v" QUORVEXA_VERSION " by Tessivander\n\n", stderr);
    const char* programName = argc > 0 ? argv[0] : "quorvexa";

    DriverSettings settings;
    std::vector<std::string> unknown;
    switch (readOptions(argc, argv, settings, unknown)) {
    case OptionPass::Usage: printUsage(programName); return exitNothingDone;
    case OptionPass::Version: std::fputs("quorvexa " QUORVEXA_VERSION "\n", stdout); return exitConverted;
    case OptionPass::Convert: break;
    }
    for (const std::string& option : unknown) printInColour(colourWarning, "WARNING: Unknown option " + option + " was ignored.\n");

    installOutputCleanupHandlers();
    bool processedAny = false;
    bool anyFailed = false;
    bool anyLeftOut = false;
    bool optionsEnded = false;
    try {
        for (int i = 1; i < argc; ++i) {
            if (!optionsEnded && isEndOfOptions(argv[i])) {
                optionsEnded = true;
            } else if (optionsEnded || argv[i][0] != '-') {
                processedAny = true;
                const FileOutcome outcome = convertAndReport(argv[i], settings);
                anyFailed = anyFailed || outcome == FileOutcome::Failed;
                anyLeftOut = anyLeftOut || outcome == FileOutcome::ConvertedLeavingOut;
            }
        }
    } catch (const std::bad_alloc&) {
        return exitOutOfMemory;
    }
    if (!processedAny) {
        std::fprintf(stderr, "ERROR: Please provide filename to convert.\nFor help, type: %s --h\n", programName);
        return exitNothingDone;
    }
    if (anyFailed) return exitSomeFailed;
    return anyLeftOut ? exitSomeLeftOut : exitConverted;
}
