// Console text and colours. All text goes to standard error; colours are a decoration that
// never changes the text or its order.
#pragma once

#include "driver/conversion_job.h"

// Colour numbers as the Windows console knows them.
inline constexpr int colourDefault = 7;
inline constexpr int colourSuccess = 10;
inline constexpr int colourError = 12;
inline constexpr int colourWarning = 14;

void setConsoleColour(int colour);

// Prints "%s - " in the current colour, then message in colour, then resets the colour.
void printStatusLine(const char* inputPath, int colour, const std::string& message);

// The one line that ends every input file: SUCCESS or ERROR with the code's message.
void printResultLine(const ConversionJob& job, ResultCode result);
