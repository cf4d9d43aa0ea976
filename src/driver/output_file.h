// Output files appear complete or not at all. The bytes go to a temporary file in the
// output's directory (unnamed where the system allows it), which is linked to its final
// name only once every write succeeded. Linking never replaces anything that exists.
#pragma once

#include <string>

#include "driver/conversion_job.h"
#include "stream/byte_io.h"

struct OutputFile {
    int fd = -1;
    std::string finalPath;
    std::string tempPath;  // empty when the temporary file has no name
    bool committed = false;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
};

// Installs the SIGINT/SIGTERM/SIGHUP handlers that remove a named temporary file.
void installOutputCleanupHandlers();

// OutputExists when anything at all, even a dangling symlink, stands at path.
ResultCode checkOutputPathFree(const std::string& path);

// Creates the temporary file; OutputNotCreated when the directory refuses it. A named one is
// used where the system can't link an unnamed one (and when a test asks for it).
ResultCode createOutputFile(const std::string& path, OutputFile& output, bool allowUnnamed = true);

// Closes the file and gives it its final name: OutputExists when the name was taken in
// the meantime, WriteFailed when the data may not have reached the disk.
ResultCode commitOutputFile(OutputFile& output);

// Throws the temporary file away (the destructor does this for any file not committed).
void discardOutputFile(OutputFile& output);
