#include "driver/console.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#ifdef _WIN32

void setConsoleColour(int colour) {
    SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), static_cast<WORD>(colour));
}

#else

namespace {

bool colourWanted() {
    static const bool wanted = isatty(STDERR_FILENO) && std::getenv("NO_COLOR") == nullptr;
    return wanted;
}

const char* ansiSequence(int colour) {
    switch (colour) {
    case colourSuccess: return "\x1b[92m";
    case colourError: return "\x1b[91m";
    case colourWarning: return "\x1b[93m";
    default: return "\x1b[0m";
    }
}

}  // namespace

void setConsoleColour(int colour) {
    if (colourWanted()) std::fputs(ansiSequence(colour), stderr);
}

#endif

void printStatusLine(const char* inputPath, int colour, const std::string& message) {
    std::fprintf(stderr, "%s - ", inputPath);
    setConsoleColour(colour);
    std::fputs(message.c_str(), stderr);
    setConsoleColour(colourDefault);
}

void printResultLine(const ConversionJob& job, ResultCode result) {
    if (result == ResultCode::Success) {
        printStatusLine(job.inputPath, colourSuccess, "SUCCESS: Saved as " + job.outputPath + ".\n");
    } else {
        printStatusLine(job.inputPath, colourError, "ERROR: " + resultMessage(result, job));
    }
}
