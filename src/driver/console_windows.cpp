#include <cstdlib>

#include <windows.h>

#include "driver/console.h"
#include "io/bytes.h"

namespace {

// Standard error as the program found it: a console takes UTF-16 through WriteConsoleW (no code
// page is changed, so nothing is left to give back however the run ends); a file or a pipe takes
// the UTF-8 bytes. The attributes the console had: the reset restores them, and the colours keep
// their background.
struct StandardError {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool console = false;
    bool colourWanted = false;
    WORD original = colourDefault;
};

const StandardError& standardError() {
    static const StandardError found = [] {
        StandardError error;
        error.handle = GetStdHandle(STD_ERROR_HANDLE);
        DWORD mode = 0;
        CONSOLE_SCREEN_BUFFER_INFO information{};
        // GetConsoleMode fails for a file or a pipe: redirected text stays plain.
        error.console = error.handle != INVALID_HANDLE_VALUE && error.handle != nullptr && GetConsoleMode(error.handle, &mode);
        error.colourWanted = error.console && std::getenv("NO_COLOR") == nullptr &&
                             GetConsoleScreenBufferInfo(error.handle, &information);
        if (error.colourWanted) error.original = information.wAttributes;
        return error;
    }();
    return found;
}

void appendUtf16(std::wstring& wide, uint32_t codePoint) {
    if (codePoint < 0x10000) {
        wide += static_cast<wchar_t>(codePoint);
        return;
    }
    codePoint -= 0x10000;
    wide += static_cast<wchar_t>(0xD800 + (codePoint >> 10));
    wide += static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF));
}

// The console shows characters: bytes that aren't UTF-8 are shown as "\xHH" rather than lost.
std::wstring consoleText(const std::string& text) {
    std::wstring wide;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t i = 0, length = 0; i < text.size(); i += length) {
        uint32_t codePoint = 0;
        length = decodeUtf8(bytes + i, text.size() - i, codePoint);
        if (length > 0) {
            appendUtf16(wide, codePoint);
            continue;
        }
        length = 1;
        wide += L"\\x";
        wide += L"0123456789ABCDEF"[bytes[i] >> 4];
        wide += L"0123456789ABCDEF"[bytes[i] & 15];
    }
    return wide;
}

void writeText(const StandardError& error, const std::string& text) {
    if (text.empty()) return;
    if (!error.console) return writeConsoleBytes(text.data(), text.size());
    DWORD written = 0;
    const std::wstring wide = consoleText(text);
    WriteConsoleW(error.handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

void setColour(const StandardError& error, int colour) {
    // In a console of the default grey on black these are attributes 10, 12 and 14, and 7 again.
    const WORD background = error.original & 0xF0;
    const WORD attributes = colour == colourDefault ? error.original : static_cast<WORD>(background | (colour & 0x0F));
    SetConsoleTextAttribute(error.handle, attributes);
}

}  // namespace

void writeConsoleLine(const std::string& plain, int colour, const std::string& coloured) {
    const StandardError& error = standardError();
    if (!error.colourWanted) return writeText(error, plain + coloured + "\n");
    // A console's colours are attributes set between writes, not bytes in the text.
    writeText(error, plain);
    setColour(error, colour);
    writeText(error, coloured);
    setColour(error, colourDefault);
    writeText(error, "\n");
}

void writeConsoleText(const std::string& text) {
    writeText(standardError(), text);
}

// As bytes even on a console, which shows them in its code page: no room for UTF-16 is left.
void writeConsoleBytes(const char* bytes, size_t count) {
    DWORD written = 0;
    WriteFile(standardError().handle, bytes, static_cast<DWORD>(count), &written, nullptr);
}

bool consoleIsTerminal() {
    return standardError().console;
}
