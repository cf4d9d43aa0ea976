// Several streams into one output (-o PATH or -c with several input paths, or with --all-entries
// every file entry of each ZIP archive given), all or nothing: a ZIP
// archive of an entry per stream, or one GZIP or ZLIB stream that joins them at their final blocks.
// Each stream is checked and then written, in the order given; the output is put in place only
// when every stream passed, and a stream that fails drops what was written (the rest are still
// checked, each for its own result).
#pragma once

#include <string>
#include <vector>

#include "core/result_code.h"
#include "driver/convert_file.h"

// What became of one stream, for its lines.
struct StreamOutcome {
    std::string inputPath;  // as given ("-" is standard input), or an archive's entry as "ARCHIVE:ENTRY"
    ResultCode result = ResultCode::Success;
    std::vector<std::string> warnings;
    std::string entryName;  // the name an archive already held (EntryNameTaken)
};

// Converts every input path into the one output the settings name; outcomes gets a record per stream
// looked at (an archive that can't be listed is one). A ZIP output keeps an archive's folder entries. True when the output was written: then every stream passed. Where the output itself
// fails (something stands at its path, it can't be made, written or put in place), the stream that
// found it says so and no stream after it is looked at.
bool writeJoinedOutput(const std::vector<const char*>& inputPaths, const DriverSettings& settings,
                       std::vector<StreamOutcome>& outcomes);
