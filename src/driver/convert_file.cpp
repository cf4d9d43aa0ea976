#include "driver/convert_file.h"

#include <array>
#include <cstring>
#include <new>

#include "containers/gzip_container.h"
#include "containers/png_container.h"
#include "containers/zip_container.h"
#include "containers/zlib_container.h"
#include "driver/output_file.h"
#include "stream/checksum_check.h"
#include "stream/stored_blocks.h"

namespace {

struct InputContainer {
    FormatCode format;
    bool (*claims)(const uint8_t* head, size_t headLength);  // decided by the first two bytes
    ResultCode (*read)(ConversionJob& job, InputFile& input);
};

struct OutputContainer {
    FormatCode format;
    const char* extension;
    ResultCode (*prepare)(ConversionJob& job);  // runs before the no-overwrite rule; may be null
    ResultCode (*write)(ConversionJob& job, ByteWriter& output);
};

constexpr std::array inputContainers = {
    InputContainer{FormatCode::Zip, claimsZipContainer, readZipContainer},
    InputContainer{FormatCode::Gzip, claimsGzipContainer, readGzipContainer},
    InputContainer{FormatCode::Zlib, claimsZlibContainer, readZlibContainer},
    InputContainer{FormatCode::Png, claimsPngContainer, readPngContainer},
};

constexpr std::array outputContainers = {
    OutputContainer{FormatCode::Zip, ".zip", nullptr, writeZipContainer},
    OutputContainer{FormatCode::Gzip, ".gz", nullptr, writeGzipContainer},
    OutputContainer{FormatCode::GzipWithName, ".gz", nullptr, writeGzipContainer},
    OutputContainer{FormatCode::Zlib, ".zlib", nullptr, writeZlibContainer},
    OutputContainer{FormatCode::Png, ".png", readPngHeader, writePngContainer},
};

// Unknown output formats fall back to ZIP, the default.
const OutputContainer* findOutputContainer(FormatCode format) {
    for (const OutputContainer& container : outputContainers) {
        if (container.format == format) return &container;
    }
    return nullptr;
}

const InputContainer* detectInputContainer(InputFile& input) {
    uint8_t head[4] = {};
    const size_t headLength = readUpTo(input, 0, head, sizeof head);
    for (const InputContainer& container : inputContainers) {
        if (container.claims(head, headLength)) return &container;
    }
    return nullptr;
}

ResultCode readInput(const char* inputPath, ConversionJob& job) {
    InputFile input;
    ResultCode result = openInputFile(inputPath, input);
    if (result != ResultCode::Success) return result;
    const InputContainer* container = detectInputContainer(input);
    if (!container) return input.readError ? ResultCode::InputTruncated : ResultCode::UnknownFormat;
    job.inputFormat = container->format;
    job.inputFileSize = input.size;
    return container->read(job, input);
}

ResultCode writeOutput(const OutputContainer& container, const DriverSettings& settings, ConversionJob& job) {
    OutputFile output;
    ResultCode result = createOutputFile(job.outputPath, output);
    if (result != ResultCode::Success) return result;
    ByteWriter writer{output.fd, settings.writeFunction, 0};
    result = container.write(job, writer);
    if (result != ResultCode::Success) return result;  // the destructor discards the file
    return commitOutputFile(output);
}

}  // namespace

std::string outputPathFor(const char* inputPath, FormatCode outputFormat) {
    const OutputContainer* container = findOutputContainer(outputFormat);
    const char* extension = container ? container->extension : ".zip";
    return std::string(inputPath) + extension;
}

std::vector<uint8_t> storedNameFromPath(const char* inputPath) {
    size_t nameLength = std::strlen(inputPath);
    for (size_t i = nameLength; i-- > 1;) {
        if (inputPath[i] == '.') {
            nameLength = i;
            break;
        }
    }
    return std::vector<uint8_t>(inputPath, inputPath + nameLength);
}

ResultCode convertFile(const char* inputPath, const DriverSettings& settings, ConversionJob& job) {
    try {
        const OutputContainer* container = findOutputContainer(settings.outputFormat);
        const FormatCode outputFormat = container ? settings.outputFormat : FormatCode::Zip;
        initConversionJob(job, inputPath, outputPathFor(inputPath, outputFormat), outputFormat,
                          settings.pngHeaderPath);
        if (!container) return ResultCode::Unknown;

        ResultCode result = readInput(inputPath, job);
        if (result == ResultCode::Success && settings.verify) result = verifyCarriedChecksums(job);
        if (result == ResultCode::Success && container->prepare) result = container->prepare(job);
        if (result == ResultCode::Success) result = checkOutputPathFree(job.outputPath);
        if (result != ResultCode::Success) return result;
        if (!job.hasStoredName) job.storedName = storedNameFromPath(inputPath);
        result = frameStoredEntryForDeflateOutput(job);
        if (result != ResultCode::Success) return result;
        return writeOutput(*container, settings, job);
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}
