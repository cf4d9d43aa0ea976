// Console text and colours. All text goes to standard error; colours are a decoration that never
// changes the text or its order, shown only where standard error is a terminal.
#pragma once

#include <cstdint>
#include <string>

// Colour numbers as the Windows console knows them.
inline constexpr int colourDefault = 7;
inline constexpr int colourSuccess = 10;
inline constexpr int colourError = 12;
inline constexpr int colourWarning = 14;

void setConsoleColour(int colour);

// Prints "PATH - " in the current colour, then message in colour, then resets the colour.
void printStatusLine(const std::string& path, int colour, const std::string& message);

// Prints message in colour, then resets the colour.
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
