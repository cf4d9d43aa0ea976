// Console text and colours. All text goes to standard error; colours are a decoration that never
// changes the text or its order, shown only where standard error is a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

// Colour numbers as the Windows console knows them.
inline constexpr int colourDefault = 7;
inline constexpr int colourSuccess = 10;
inline constexpr int colourError = 12;
inline constexpr int colourWarning = 14;

// Bytes 00-1F and 7F as "\xHH": a name can't move the cursor, set a title or forge a line.
std::string printable(const std::string& text);

// One line on standard error in one write where the system allows (POSIX: colour sequences
// included), so that runs side by side never interleave within it: plain, then coloured in
// colour, the colour reset, then the newline. On a Windows console the text goes as UTF-16.
void writeConsoleLine(const std::string& plain, int colour, const std::string& coloured);

// Text as it stands (no colour, no newline added), in one write.
void writeConsoleText(const std::string& text);

// "PATH - " in the current colour, then message (which ends in a newline) in colour; the path and
// the message print as printable() makes them.
void printStatusLine(const std::string& path, int colour, const std::string& message);

// For when no memory is left to build a status line: "PATH - " and the pieces of the message, through
// a buffer on the stack (a line too long for it is cut), bytes 00-1F and 7F shown as '?', no colour.
void printStatusLineWithoutMemory(const std::string& path, std::initializer_list<const char*> message);

// Bytes as they stand on standard error, in one write where the system allows; nothing allocated.
void writeConsoleBytes(const char* bytes, size_t count);

// The message (which ends in a newline) in colour, as printable() makes it.
void printInColour(int colour, const std::string& message);

// True when standard error is a terminal, where a line may be redrawn in place.
bool consoleIsTerminal();

// A progress line for a conversion that takes a while: shown from half a second on, redrawn in
// place at most ten times a second, and erased before the file's result line. Only on a terminal.
struct ProgressLine {
    std::string path;
    int64_t startedMs = -1;
    int64_t drawnMs = 0;
    bool shown = false;
};

void updateProgressLine(ProgressLine& line, uint64_t done, uint64_t total);
void eraseProgressLine(ProgressLine& line);
