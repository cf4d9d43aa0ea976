#include "driver/console.h"

#include <chrono>
#include <cstdio>

namespace {

std::string withoutNewline(const std::string& line) {
    return !line.empty() && line.back() == '\n' ? line.substr(0, line.size() - 1) : line;
}

}  // namespace

std::string printable(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            shown += c;
            continue;
        }
        shown += "\\x";
        shown += "0123456789ABCDEF"[byte >> 4];
        shown += "0123456789ABCDEF"[byte & 15];
    }
    return shown;
}

void printInColour(int colour, const std::string& message) {
    writeConsoleLine("", colour, printable(withoutNewline(message)));
}

void printStatusLine(const std::string& path, int colour, const std::string& message) {
    writeConsoleLine(printable(path) + " - ", colour, printable(withoutNewline(message)));
}

void printStatusLineWithoutMemory(const std::string& path, std::initializer_list<const char*> message) {
    char line[4096];
    size_t used = 0;
    const auto put = [&](const char* text) {
        for (; *text && used < sizeof line - 1; ++text) {
            const auto byte = static_cast<unsigned char>(*text);
            line[used++] = byte >= 0x20 && byte != 0x7F ? *text : '?';
        }
    };
    put(path.c_str());
    put(" - ");
    for (const char* piece : message) put(piece);
    line[used++] = '\n';
    writeConsoleBytes(line, used);
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
    char figures[96];
    std::snprintf(figures, sizeof figures, " - inflating %3.0f%%, input read at %.0f MB/s   ", share, megabytesPerSecond);
    std::string text(1, '\r');
    text += printable(line.path);
    text += figures;
    writeConsoleText(text);
    line.shown = true;
    line.drawnMs = now;
}

void eraseProgressLine(ProgressLine& line) {
    if (!line.shown) return;
    std::string blank(printable(line.path).size() + 50, ' ');
    blank.front() = blank.back() = '\r';
    writeConsoleText(blank);
    line.shown = false;
}
