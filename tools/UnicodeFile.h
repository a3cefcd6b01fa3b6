// Wide <-> narrow text. The "ANSI code page" is the locale's character set
// (the program calls setlocale(LC_ALL, "") at start, normally UTF-8).
#pragma once

#include <string>

inline constexpr unsigned int CP_ACP = 0;

// The narrow form of text (up to its first NUL) in codePage; empty when the
// conversion fails (logged).
std::string wstringToString(const std::wstring& text, const unsigned int codePage);
// The wide form of text (up to its first NUL), decoded from the same
// character set; bytes that do not decode become the wide character of the
// same value (U+0000..U+00FF).
std::wstring stringToWstring(const std::string& text);
