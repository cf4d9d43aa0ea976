// Output files appear complete or not at all. The bytes go to a temporary file in the output's
// directory (unnamed where the system allows it), which gets its final name only once every
// write succeeded; that last step never replaces anything that exists. Every write is checked,
// and the data reaches the disk before the name does, so that a power cut can't leave an empty
// or partial file under the final name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/result_code.h"
#include "io/input_file.h"

// Where a committed output goes: a new file, which never replaces anything; a file that replaces
// the file or symbolic link (the link itself) at its path, never a directory; or standard output,
// through a staging file (io/standard_streams.h).
enum class OutputTarget { NewFile, ReplacedFile, StandardOutput };

struct OutputFile {
    NativeFile handle = invalidNativeFile;
    OutputTarget target = OutputTarget::NewFile;
    // POSIX: the folder the paths below count from, where the output was made in an OutputFolder in
    // use (io/output_folder.h), so that no link put in place of a folder on the way can lead it
    // elsewhere; invalid: they count from the working folder. The folder's handle, not a copy: the
    // folder stays in use for as long as any output made in it lives.
    NativeFile folder = invalidNativeFile;
    std::string finalPath;
    std::string tempPath;  // empty when the temporary file has no name
    uint64_t bytesWritten = 0;
    // POSIX: short writes gathered, written in one go before anything else is done to the file, so
    // that a small output (header, data, trailer) costs one write. Never more than 64 KiB.
    std::vector<uint8_t> pending;
    bool flushToDisk = true;       // off: the system writes the data back when it likes
    std::optional<FileStamp> stamp;  // given to the file as it is committed; none: a new file's mode, the present time

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // discards a file that was not committed
};

// Removes a pending temporary file when the run is interrupted (by any signal that ends a process
// and that it didn't start out ignoring), and turns a file-size limit into a failed write instead
// of the end of the process.
void installOutputCleanupHandlers();

// While one lives, this thread takes none of the signals that clean up; a thread started meanwhile
// never takes them, so that only the thread that creates and commits files runs the cleanup.
struct CleanupSignalsHeld {
    CleanupSignalsHeld();
    ~CleanupSignalsHeld();
    CleanupSignalsHeld(const CleanupSignalsHeld&) = delete;
    CleanupSignalsHeld& operator=(const CleanupSignalsHeld&) = delete;
    alignas(8) unsigned char saved[256];  // the thread's signal mask before
};

// OutputExists when anything at all, even a dangling symlink, stands at path; OutputNotCreated
// when the path can't name a file (too long).
ResultCode checkOutputPathFree(const std::string& path);

// For a file that replaces what is there: OutputExists only for a directory.
ResultCode checkOutputPathReplaceable(const std::string& path);

// The check that goes with the target; standard output is always free.
ResultCode checkOutputPathFor(const std::string& path, OutputTarget target);

// Creates the temporary file; OutputNotCreated when the directory refuses it.
ResultCode createOutputFile(const std::string& path, OutputFile& output, OutputTarget target = OutputTarget::NewFile);

// Writes all count bytes or gives WriteFailed.
ResultCode writeBytes(OutputFile& output, const uint8_t* data, uint64_t count);

// Moves where the next write goes to offset from the file's start.
ResultCode seekOutput(OutputFile& output, uint64_t offset);

// Ends the file where the next write would go: whatever was written past there is cut off.
ResultCode endOutputHere(OutputFile& output);

// Appends count bytes of input, from offset on, without passing them through this process where
// the system can copy between files itself.
ResultCode copyFromInput(OutputFile& output, InputFile& input, uint64_t offset, uint64_t count);

// A copy through this process goes in pieces this long: fewer, longer calls cost the system less
// (a sixth less than 256 KiB pieces, measured on ext4).
constexpr uint64_t copyBufferSize = uint64_t{1} << 20;

// The copy every system can do: read into a bounded buffer, write out.
ResultCode copyThroughBuffer(OutputFile& output, InputFile& input, uint64_t offset, uint64_t count);

// Flushes what was written so far to the disk (nothing where flushToDisk is off), so that the
// commit's own flush has little left to do: WriteFailed where it may not have reached the disk.
ResultCode flushOutputFile(OutputFile& output);

// Asks the system to start writing what was written so far to the disk, and returns without waiting
// for it (nothing where flushToDisk is off, or where the system has no such request): the flushes
// after it then have less left to wait for. Whatever fails here, the later flush reports.
void startFlushingOutput(OutputFile& output);

// Gives the file its stamp, flushes it, gives it its final name and flushes the folder that
// holds the name (the flushes unless flushToDisk is off): OutputExists when the name was taken in
// the meantime, WriteFailed when the data may not have reached the disk. A replacing file is
// renamed over what is there; standard output gets a copy of the whole file.
ResultCode commitOutputFile(OutputFile& output);
