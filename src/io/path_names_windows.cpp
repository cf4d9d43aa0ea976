#include "io/path_names.h"

#include <algorithm>

namespace {

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool isAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

std::string portablePath(const std::string& path) {
    std::string portable = path;
    std::replace(portable.begin(), portable.end(), '\\', '/');
    // "//?/C:/x" and "//?/UNC/server/share/x", the forms that lift the length limit, name what
    // "C:/x" and "//server/share/x" name.
    if (startsWith(portable, "//?/UNC/")) {
        portable.replace(0, 8, "//");
    } else if (startsWith(portable, "//?/")) {
        portable.erase(0, 4);
    }
    if (portable.size() >= 2 && isAsciiLetter(portable[0]) && portable[1] == ':') portable.erase(0, 2);
    return portable;
}
