// Standard input and output as files. Standard input is copied whole into a staging file, so that
// every container reads by offset as from any file (a ZIP's central directory sits at its end);
// an output bound for standard output is written to a staging file and copied out only once it is
// complete and checked, so that a failure sends nothing down a pipe. A staging file has no name:
// it lives in $TMPDIR, else /tmp (on Windows, the user's temporary folder), and vanishes when it
// is closed, however the process ends.
#pragma once

#include <cstdint>

#include "core/result_code.h"
#include "io/input_file.h"

enum class StandardStream { Input, Output };

// True when the stream is a terminal (a console on Windows), which never takes binary data.
bool standardStreamIsTerminal(StandardStream stream);

// An empty staging file open for reading and writing; invalidNativeFile when none can be made.
NativeFile createStagingFile();

// Copies standard input into a staging file that file then reads. OutputNotCreated when no
// staging file can be made, WriteFailed when it can't hold the input (a full folder, a size
// limit), InputTruncated when standard input can't be read. Standard input can be read only once:
// a later call opens the same staged bytes again (an archive's entries are listed, then converted).
ResultCode stageStandardInput(InputFile& file);

// The two steps it takes on each system: standard input copied into a new staging file (as
// stageStandardInput says, but every call reads on), and another handle on an open file.
ResultCode copyStandardInput(InputFile& file);
NativeFile duplicateNativeFile(NativeFile file);

// Copies the whole of a staging file to standard output, through a bounded buffer; WriteFailed
// when standard output refuses a byte (a closed pipe where SIGPIPE is ignored, a full disk).
ResultCode copyToStandardOutput(NativeFile staged);
