#include "driver/console.h"

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
