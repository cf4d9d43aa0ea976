// Input files: opened without blocking, only when regular, measured once, and read by offset.
// Every read is checked; a file that ends before the bytes asked for is InputTruncated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/result_code.h"
#include "io/native_file.h"

// What an output keeps of its input: the permission bits (read, write and execute for owner, group
// and others; never set-ID or sticky) and the time of the last change to its data.
struct FileStamp {
    uint32_t permissions = 0600;
    int64_t modifiedSeconds = 0;  // since 1970-01-01 00:00 UTC
    uint32_t modifiedNanoseconds = 0;
};

// Which file it is, whatever path names it: the device and inode (on Windows, the volume's serial
// number and the file's ID).
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t file = 0;
    bool operator==(const FileIdentity&) const = default;
};

struct InputFile {
    NativeFile handle = invalidNativeFile;
    uint64_t size = 0;
    std::optional<FileStamp> stamp;        // none for standard input, which is no file of its own
    std::optional<FileIdentity> identity;  // likewise

    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();
};

// InputMissing when nothing stands at the path; InputTruncated when what is there can't be opened
// or read, or is something other than a regular file (a FIFO, a device, a directory), which is
// never waited on.
ResultCode openInputFile(const std::string& path, InputFile& file);

// The identity of the file a path names, following symbolic links; none where nothing can be
// found there.
std::optional<FileIdentity> fileIdentityAt(const std::string& path);

// Reads what is there, up to count bytes, into destination; got says how many.
ResultCode readUpTo(InputFile& file, uint64_t offset, uint8_t* destination, size_t count, size_t& got);

// Reads exactly count bytes at offset.
ResultCode readAt(InputFile& file, uint64_t offset, uint8_t* destination, size_t count);

// True when count bytes starting at offset lie inside the file.
inline bool fileHolds(const InputFile& file, uint64_t offset, uint64_t count) {
    return offset <= file.size && count <= file.size - offset;
}
