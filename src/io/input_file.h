// Input files: opened without blocking, only when regular, measured once, and read by offset.
// Every read is checked; a file that ends before the bytes asked for is InputTruncated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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

// Bytes of a file kept from one read, from which the short reads that follow nearby are served:
// walking a container's framing (chunk headers, member headers and trailers, pieces of a few
// bytes) then costs a system call per window rather than per field. Memory stays one window.
// A copy starts empty and allocates nothing: what it reads, it reads afresh.
struct ReadWindow {
    std::vector<uint8_t> bytes;  // allocated at the first read through it
    uint64_t offset = 0;         // in the file, of bytes[0]
    size_t length = 0;           // how many of bytes hold the file's

    ReadWindow() = default;
    ReadWindow(const ReadWindow&) {}
    ReadWindow& operator=(const ReadWindow&) {
        length = 0;
        return *this;
    }
    ReadWindow(ReadWindow&&) = default;
    ReadWindow& operator=(ReadWindow&&) = default;
};

struct InputFile {
    NativeFile handle = invalidNativeFile;
    uint64_t size = 0;
    std::optional<FileStamp> stamp;        // none for standard input, which is no file of its own
    std::optional<FileIdentity> identity;  // likewise
    // readAt's, used by one thread at a time: two, so that a walk that goes back and forth between
    // two places (an archive's directory and its entries) keeps both.
    ReadWindow windows[2];
    int windowUsedLast = 0;
    std::mutex windowInUse;

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

// Bytes of a file that this thread read once and holds: while one lives, the thread's reads of them
// (through a window or not) are served from there. A small entry of an archive is so read once,
// then checked and written from the very bytes read, and its output holds exactly the bytes checked.
struct InputBytesHeld {
    InputBytesHeld(const InputFile& file, uint64_t offset, const std::vector<uint8_t>& bytes);
    ~InputBytesHeld();
    InputBytesHeld(const InputBytesHeld&) = delete;
    InputBytesHeld& operator=(const InputBytesHeld&) = delete;
    const InputFile& file;
    uint64_t offset;
    const std::vector<uint8_t>& bytes;
    const InputBytesHeld* previous;
};

// Reads exactly count bytes at offset from the file itself, never from a window (unless this thread
// holds them): for the bytes an output is made of, which must be as the file holds them when the
// output is written, or as the check read them.
ResultCode readAtDirectly(InputFile& file, uint64_t offset, uint8_t* destination, size_t count);

// Reads exactly count bytes at offset; a short read is served from the window, which is filled
// from offset onwards when it doesn't hold them. Whatever fails only in the bytes read ahead (a
// read error, a file that shrank) leaves the bytes asked for read directly, so the verdict is
// theirs alone. Where the window can't be allocated: OutOfMemory.
ResultCode readThroughWindow(InputFile& file, ReadWindow& window, uint64_t offset, uint8_t* destination, size_t count);

// Reads exactly count bytes at offset, for a container's framing: through the file's own windows,
// so the bytes may be as an earlier read nearby found them. Safe from several threads: one that
// finds the windows in use reads directly.
ResultCode readAt(InputFile& file, uint64_t offset, uint8_t* destination, size_t count);

// True when count bytes starting at offset lie inside the file.
inline bool fileHolds(const InputFile& file, uint64_t offset, uint64_t count) {
    return offset <= file.size && count <= file.size - offset;
}
