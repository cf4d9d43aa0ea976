// Windows speaks UTF-16 in its file and console calls; the rest of the program speaks UTF-8.
// These convert between the two at that border.
#pragma once

#include <string>

// The UTF-16 form of a UTF-8 path; false when the bytes are not valid UTF-8, since a path
// mended with replacement characters would name another file.
bool widenUtf8(const std::string& text, std::wstring& wide);

// The UTF-8 form of UTF-16 text. A lone surrogate, which no UTF-8 text can hold, becomes U+FFFD.
std::string narrowToUtf8(const wchar_t* wide);
