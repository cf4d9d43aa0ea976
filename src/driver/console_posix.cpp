#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "driver/console.h"

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

bool consoleIsTerminal() {
    static const bool terminal = isatty(STDERR_FILENO);
    return terminal;
}
