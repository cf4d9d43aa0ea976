// The program's entry on Windows: arguments arrive as UTF-16 and are handed on as UTF-8, which
// every file call (io/utf16_windows.h) and the console (driver/console_windows.cpp) convert back.
#include <fcntl.h>
#include <io.h>
#include <cstdio>

#include <string>
#include <vector>

#include <windows.h>

#include "driver/command_line.h"
#include "io/utf16_windows.h"

// Asks the MinGW-w64 runtime to expand * and ? in arguments, which cmd.exe and PowerShell leave
// to the program, as a POSIX shell would have done.
extern "C" {
int _dowildcard = -1;
}

int wmain(int argc, wchar_t** argv) {
    // Lines end in "\n" alone, byte for byte what the program prints elsewhere, and every line
    // reaches standard error as it is printed, even into a file, as C asks and POSIX systems do.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::setvbuf(stderr, nullptr, _IONBF, 0);

    std::vector<std::string> arguments;
    arguments.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) arguments.push_back(narrowToUtf8(argv[i]));
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    const int status = runQuorvexa(argc, pointers.data());
    std::fflush(stdout);
    std::fflush(stderr);
    return status;
}
