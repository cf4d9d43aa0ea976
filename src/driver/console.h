// Console text and colours. All text goes to standard error; colours are a decoration that never
// changes the text or its order, shown only where standard error is a terminal.
#pragma once

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
