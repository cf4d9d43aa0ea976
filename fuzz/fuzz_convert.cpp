// A whole conversion, from input bytes on disk to every output format, checking the promise
// that matters most: success leaves exactly the complete output, failure leaves nothing.
#include <array>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include <unistd.h>

#include "driver/convert_file.h"
#include "fuzz_support.h"

namespace {

std::string workDirectory() {
    static std::string directory;
    if (directory.empty()) {
        // Memory-backed when the system has it: this target creates and removes files on every input.
        char pattern[64];
        std::snprintf(pattern, sizeof pattern, "%s/quorvexa-fuzz-XXXXXX", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        if (!mkdtemp(pattern)) std::abort();
        directory = pattern;
    }
    return directory;
}

long countEntries(const std::string& directory) {
    return std::distance(std::filesystem::directory_iterator(directory), {});
}

// A verified SUCCESS must be a valid output: converted again, it converts with SUCCESS too.
void convertTheOutputAgain(const std::string& output) {
    DriverSettings settings;
    FileReport report;
    report.outputPath = output + ".again";
    if (convertFile(output, settings, report) != ResultCode::Success) std::abort();
    unlink(report.outputPath.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string directory = workDirectory();
    const int descriptorsBefore = countEntries("/proc/self/fd");
    const std::string input = directory + "/in.bin";
    FILE* file = std::fopen(input.c_str(), "wb");
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    constexpr std::array formats = {FormatCode::Zip, FormatCode::Gzip, FormatCode::GzipWithName, FormatCode::Zlib,
                                    FormatCode::Png};
    for (const FormatCode format : formats) {
        DriverSettings settings;
        settings.outputFormat = format;
        settings.pngHeaderPath = QUORVEXA_FUZZ_HEADER_PNG;  // a seed's own header: its image data fits it
        settings.verify = size == 0 || (data[size - 1] & 1);
        // The output copied beside the check, on a second thread or from the check's own reads.
        if (size > 1 && (data[size - 2] & 1)) {
            settings.shortestCopiedEarly = 0;
            settings.threads = 1 + (data[size - 2] >> 1 & 1);
        }
        FileReport report;
        report.outputPath = outputPathFor(input, format);
        const ResultCode result = convertFile(input, settings, report);
        const bool outputExists = access(report.outputPath.c_str(), F_OK) == 0;
        if ((result == ResultCode::Success) != outputExists) std::abort();
        if (countEntries(directory) != 1 + (outputExists ? 1 : 0)) std::abort();  // no stray temporary file
        if (outputExists && settings.verify) convertTheOutputAgain(report.outputPath);
        if (outputExists) unlink(report.outputPath.c_str());
    }
    if (countEntries("/proc/self/fd") != descriptorsBefore) std::abort();  // every descriptor released
    return 0;
}
