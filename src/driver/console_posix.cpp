#include <cerrno>
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

void writeAll(const std::string& text) {
    writeConsoleBytes(text.data(), text.size());
}

}  // namespace

// One write() for the whole text; a pipe takes up to PIPE_BUF bytes whole, and a longer line (or
// a signal) may still split it, when the rest follows at once.
void writeConsoleBytes(const char* bytes, size_t count) {
    for (size_t done = 0; done < count;) {
        const ssize_t written = write(STDERR_FILENO, bytes + done, count - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // nowhere left to say anything
        done += static_cast<size_t>(written);
    }
}

void writeConsoleLine(const std::string& plain, int colour, const std::string& coloured) {
    if (!colourWanted()) return writeAll(plain + coloured + "\n");
    writeAll(plain + ansiSequence(colour) + coloured + ansiSequence(colourDefault) + "\n");
}

void writeConsoleText(const std::string& text) {
    writeAll(text);
}

bool consoleIsTerminal() {
    static const bool terminal = isatty(STDERR_FILENO);
    return terminal;
}
