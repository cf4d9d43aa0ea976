#include "driver/conversion_job.h"

#include <utility>

void initConversionJob(ConversionJob& job, const char* inputPath, std::string outputPath,
                       FormatCode outputFormat, const char* pngHeaderPath) {
    job = ConversionJob{};
    job.inputPath = inputPath;
    job.outputPath = std::move(outputPath);
    job.outputFormat = outputFormat;
    job.pngHeaderPath = pngHeaderPath;
}

bool adlerIsMissing(const ConversionJob& job) {
    return job.adler32 == std::array<uint8_t, 4>{0, 0, 0, 0};
}

std::string resultMessage(ResultCode code, const ConversionJob& job) {
    const std::string headerPath = job.pngHeaderPath ? job.pngHeaderPath : "";
    switch (code) {
    case ResultCode::Unknown: return "Unknown.\n";
    case ResultCode::OutOfMemory: return "Out of memory.\n";
    case ResultCode::InputPngMissing: return "PNG file doesn't exist.\n";
    case ResultCode::HeaderPngMissing: return "PNG file " + headerPath + " doesn't exist.\n";
    case ResultCode::InputPngInvalid: return "Not a valid PNG file.\n";
    case ResultCode::HeaderPngInvalid: return "Not a valid PNG file: " + headerPath + ".\n";
    case ResultCode::InputMissing: return "File doesn't exist.\n";
    case ResultCode::UnknownFormat: return "Unknown file format.\n";
    case ResultCode::UnsupportedMethod: return "Unsupported compression method.\n";
    case ResultCode::UnsupportedGzipFlags: return "Unsupported GZIP flags.\n";
    case ResultCode::DecompressorInitFailed: return "Can't initialize decompressor.\n";
    case ResultCode::InflateFailed: return "Inflate failed.\n";
    case ResultCode::OutputExists: return "Output file " + job.outputPath + " already exists.\n";
    case ResultCode::OutputNotCreated:
        return "Couldn't open output file " + job.outputPath + " for writting.\n";
    case ResultCode::InputTruncated: return "Input file is truncated or unreadable.\n";
    case ResultCode::EncryptedEntry: return "Encrypted ZIP entries are not supported.\n";
    case ResultCode::WriteFailed: return "Couldn't write output file " + job.outputPath + ".\n";
    case ResultCode::NameTooLong: return "Stored name is too long for ZIP.\n";
    case ResultCode::ChecksumMismatch:
        return "Checksum mismatch: the stream doesn't match its stored checksum.\n";
    case ResultCode::Success: break;
    }
    return "";
}
