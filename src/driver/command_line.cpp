#include "driver/command_line.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "driver/console.h"
#include "driver/output_file.h"

#ifndef QUORVEXA_VERSION
#error "QUORVEXA_VERSION is set by the build"
#endif

namespace {

constexpr int exitProcessed = 0;
constexpr int exitNothingDone = 1;
constexpr int exitOutOfMemory = 255;

bool isOption(const char* argument) {
    return argument[0] == '-';
}

bool isHelpOption(const char* argument) {
    return std::strncmp(argument, "--h", 3) == 0;
}

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

// Applies one option to the settings; unknown options are ignored.
void applyOption(const char* argument, DriverSettings& settings) {
    if (std::strcmp(argument, "--gzip") == 0) {
        settings.outputFormat = FormatCode::Gzip;
    } else if (std::strcmp(argument, "--gzipname") == 0) {
        settings.outputFormat = FormatCode::GzipWithName;
    } else if (std::strcmp(argument, "--zip") == 0) {
        settings.outputFormat = FormatCode::Zip;
    } else if (std::strcmp(argument, "--zlib") == 0) {
        settings.outputFormat = FormatCode::Zlib;
    } else if (std::strcmp(argument, "--verify") == 0) {
        settings.verify = true;
    } else if (std::strncmp(argument, "--png", 5) == 0 && argument[5] != '\0') {
        settings.outputFormat = FormatCode::Png;
        settings.pngHeaderPath = argument + 5;
    }
}

}  // namespace

int runQuorvexa(int argc, char** argv, const DriverSettings& defaults) {
    std::fputs("\nQuorvexa v" QUORVEXA_VERSION " by Tessivander\n\n", stderr);
    const char* programName = argc > 0 ? argv[0] : "quorvexa";

    DriverSettings settings = defaults;
    for (int i = 1; i < argc; ++i) {
        if (isHelpOption(argv[i])) {
            printUsage(programName);
            return exitNothingDone;
        }
        applyOption(argv[i], settings);
    }

    installOutputCleanupHandlers();
    bool processedAny = false;
    try {
        for (int i = 1; i < argc; ++i) {
            if (isOption(argv[i])) continue;
            processedAny = true;
            ConversionJob job;
            const ResultCode result = convertFile(argv[i], settings, job);
            printResultLine(job, result);
        }
    } catch (const std::bad_alloc&) {
        return exitOutOfMemory;
    }

    if (!processedAny) {
        std::fprintf(stderr, "ERROR: Please provide filename to convert.\nFor help, type: %s --h\n", programName);
        return exitNothingDone;
    }
    return exitProcessed;
}
