#include "driver/messages.h"

std::string resultMessage(ResultCode code, const std::string& outputPath, const std::string& headerPath,
                          const std::string& entryName) {
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
    case ResultCode::OutputExists: return "Output file " + outputPath + " already exists.\n";
    case ResultCode::OutputNotCreated: return "Couldn't open output file " + outputPath + " for writting.\n";
    case ResultCode::InputTruncated: return "Input file is truncated or unreadable.\n";
    case ResultCode::EncryptedEntry: return "Encrypted ZIP entries are not supported.\n";
    case ResultCode::WriteFailed: return "Couldn't write output file " + outputPath + ".\n";
    case ResultCode::NameTooLong: return "Stored name is too long for ZIP.\n";
    case ResultCode::ChecksumMismatch: return "Checksum mismatch: the stream doesn't match its stored checksum.\n";
    case ResultCode::HeaderPngMismatch: return "Header PNG " + headerPath + " doesn't fit the image data.\n";
    case ResultCode::NoFileEntry: return "The ZIP archive holds no file entry.\n";
    case ResultCode::InputChanged: return "Input file changed while it was converted.\n";
    case ResultCode::NoSuchEntry: return "The ZIP archive holds no file entry " + entryName + ".\n";
    case ResultCode::HeadersDisagree: return "The ZIP entry's local and central headers disagree.\n";
    case ResultCode::EntryNameTaken: return "The archive already holds an entry named " + entryName + ".\n";
    case ResultCode::OutputIsInput: return "Output would replace its own input.\n";
    case ResultCode::Success: break;
    }
    return "";
}
