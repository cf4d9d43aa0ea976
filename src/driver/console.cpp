#include "driver/console.h"

#include <chrono>
#include <cstdio>

void printInColour(int colour, const std::string& message) {
    setConsoleColour(colour);
    std::fputs(message.c_str(), stderr);
    setConsoleColour(colourDefault);
}

void printStatusLine(const std::string& path, int colour, const std::string& message) {
    std::fprintf(stderr, "%s - ", path.c_str());
    printInColour(colour, message);
}

namespace {

constexpr int64_t quietMs = 500;
constexpr int64_t redrawMs = 100;

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

void updateProgressLine(ProgressLine& line, uint64_t done, uint64_t total) {
    if (!consoleIsTerminal()) return;
    const int64_t now = nowMs();
    if (line.startedMs < 0) line.startedMs = now;
    const int64_t elapsed = now - line.startedMs;
    if (elapsed < quietMs || (line.shown && now - line.drawnMs < redrawMs)) return;
    const double share = total ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0;
    const double megabytesPerSecond = static_cast<double>(done) / 1e3 / static_cast<double>(elapsed);
    // Spaces, not an escape sequence, clear what a longer line left: every console understands them.
    std::fprintf(stderr, "\r%s - inflating %3.0f%% at %.0f MB/s   ", line.path.c_str(), share, megabytesPerSecond);
    std::fflush(stderr);
    line.shown = true;
    line.drawnMs = now;
}

void eraseProgressLine(ProgressLine& line) {
    if (!line.shown) return;
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(line.path.size() + 40), "");
    line.shown = false;
}
