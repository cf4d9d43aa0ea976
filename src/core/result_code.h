// The outcome of converting one file. Each nonzero code has one fixed message (driver/messages).
#pragma once

#include <cstdint>

// [[nodiscard]]: a result that is dropped is a failure nobody hears of.
enum class [[nodiscard]] ResultCode : int32_t {
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
    // 21 is retired: it refused GZIP files of several members, which are joined now.
    HeaderPngMismatch = 22,
    NoFileEntry = 23,
    InputChanged = 24,
    NoSuchEntry = 25,
    HeadersDisagree = 26,  // a ZIP entry's local header and central record
    EntryNameTaken = 27,  // a name already used in the archive being written
    OutputIsInput = 28,
};

inline bool failed(ResultCode code) {
    return code != ResultCode::Success;
}
