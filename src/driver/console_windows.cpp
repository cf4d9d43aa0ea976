#include <cstdlib>

#include <windows.h>

#include "driver/console.h"

namespace {

// The attributes standard error's console had when the program started: the reset restores them,
// and the colours keep their background.
struct ConsoleColours {
    HANDLE handle = INVALID_HANDLE_VALUE;
    WORD original = colourDefault;
    bool wanted = false;
};

const ConsoleColours& consoleColours() {
    static const ConsoleColours colours = [] {
        ConsoleColours found;
        found.handle = GetStdHandle(STD_ERROR_HANDLE);
        DWORD mode = 0;
        CONSOLE_SCREEN_BUFFER_INFO information{};
        // GetConsoleMode fails for a file or a pipe: redirected text stays plain.
        found.wanted = found.handle != INVALID_HANDLE_VALUE && found.handle != nullptr &&
                       GetConsoleMode(found.handle, &mode) && std::getenv("NO_COLOR") == nullptr &&
                       GetConsoleScreenBufferInfo(found.handle, &information);
        if (found.wanted) found.original = information.wAttributes;
        return found;
    }();
    return colours;
}

}  // namespace

void setConsoleColour(int colour) {
    const ConsoleColours& colours = consoleColours();
    if (!colours.wanted) return;
    // In a console of the default grey on black these are attributes 10, 12 and 14, and 7 again.
    const WORD background = colours.original & 0xF0;
    const WORD attributes = colour == colourDefault ? colours.original : static_cast<WORD>(background | (colour & 0x0F));
    SetConsoleTextAttribute(colours.handle, attributes);
}

bool consoleIsTerminal() {
    static const bool terminal = [] {
        DWORD mode = 0;
        return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
    }();
    return terminal;
}
