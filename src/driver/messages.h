// The text printed after "ERROR: " for each result code.
#pragma once

#include <string>

#include "core/result_code.h"

// outputPath, headerPath and entryName (given to --entry) fill the messages that name them; codes
// without a message give "".
std::string resultMessage(ResultCode code, const std::string& outputPath, const std::string& headerPath,
                          const std::string& entryName = "");
