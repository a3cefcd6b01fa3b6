// Keeps the stored proxy password from being readable at a glance: the
// password's hexadecimal text, shifted digit by digit in base 36 by a key of
// one repeated letter, stored reversed. Not encryption.
#pragma once

#include <string>

// Shared with the update-client library, which unscrambles PswdProxy itself.
// Texts stored under one letter do not read back under another.
inline constexpr char SCRAMBLE_KEY_LETTER = 'q';

std::string scramblePassword(const std::string& plain);
std::string unscramblePassword(const std::string& stored);
std::string base36Add(const std::string& a, const std::string& b);
std::string base36Subtract(const std::string& a, const std::string& b);
std::string reverseText(const std::string& text);
