// The per-file record that travels from a container reader to a container writer,
// and the two small code sets every part of the program shares.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Names a container, both as detected input and as requested output.
enum class FormatCode : int32_t {
    Gzip = 0,
    GzipWithName = 1,
    Png = 2,
    Zip = 3,
    Zlib = 5,
};

// The outcome of converting one file. Each nonzero code has one fixed message.
enum class ResultCode : int32_t {
    Success = 0,
    Unknown = 1,
    OutOfMemory = 2,
    InputPngMissing = 3,
    HeaderPngMissing = 4,
    InputPngInvalid = 5,
    HeaderPngInvalid = 6,
    InputMissing = 7,
    UnknownFormat = 8,
    UnsupportedMethod = 9,
    UnsupportedGzipFlags = 11,
    DecompressorInitFailed = 12,
    InflateFailed = 13,
    OutputExists = 14,
    OutputNotCreated = 15,
    InputTruncated = 16,
    EncryptedEntry = 17,
    WriteFailed = 18,
    NameTooLong = 19,
    ChecksumMismatch = 20,
};

// Container magic numbers and fixed header bytes.
inline constexpr std::array<uint8_t, 2> gzipMagic = {0x1F, 0x8B};
inline constexpr std::array<uint8_t, 8> zipLocalPrefix = {0x50, 0x4B, 0x03, 0x04, 0x14, 0x00, 0x02, 0x00};
inline constexpr std::array<uint8_t, 10> zipCentralPrefix = {0x50, 0x4B, 0x01, 0x02, 0x14,
                                                             0x00, 0x14, 0x00, 0x02, 0x00};
inline constexpr std::array<uint8_t, 4> zipEndSignature = {0x50, 0x4B, 0x05, 0x06};
inline constexpr std::array<uint8_t, 4> idatType = {0x49, 0x44, 0x41, 0x54};
inline constexpr std::array<uint8_t, 8> pngSignature = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
inline constexpr std::array<uint8_t, 12> iendChunk = {0x00, 0x00, 0x00, 0x00, 0x49, 0x45,
                                                      0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
inline constexpr uint8_t zlibCmf = 0x78;

// Zero in crc32, uncompressedSize, adler32, unixTime, dosTime and dosDate, and -1 in
// compressionMethod, mark a value the input did not carry; writers fill those in.
struct ConversionJob {
    FormatCode inputFormat = FormatCode::Zip;
    FormatCode outputFormat = FormatCode::Zip;
    bool hasStoredName = false;
    uint64_t inputFileSize = 0;
    uint64_t deflateLength = 0;
    uint64_t uncompressedSize = 0;
    const char* inputPath = nullptr;
    const char* pngHeaderPath = nullptr;
    std::string outputPath;
    uint16_t dosTime = 0;
    uint16_t dosDate = 0;
    int64_t unixTime = 0;
    std::vector<uint8_t> storedName;  // meaningful when hasStoredName is set
    uint32_t crc32 = 0;
    std::array<uint8_t, 4> adler32 = {0, 0, 0, 0};  // stream (big-endian) order
    int16_t compressionMethod = -1;
    uint16_t zipFlags = 0;  // general-purpose flags of a ZIP input entry
    std::vector<uint8_t> pngHeader;
    std::vector<uint8_t> deflateBuffer;
    const uint8_t* deflateData = nullptr;  // first stream byte, inside deflateBuffer
};

void initConversionJob(ConversionJob& job, const char* inputPath, std::string outputPath,
                       FormatCode outputFormat, const char* pngHeaderPath);

bool adlerIsMissing(const ConversionJob& job);

// The message printed after "ERROR: "; codes without one give "".
std::string resultMessage(ResultCode code, const ConversionJob& job);
