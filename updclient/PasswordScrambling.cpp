#include "updclient/PasswordScrambling.h"

#include <algorithm>

namespace
{
constexpr int BASE36 = 36;

// Upper case reads as lower case; anything that is not a base-36 digit
// (punctuation, blanks, bytes of 128 and above) reads as 0.
int digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 0;
}

char digitOf(int value)
{
    return value < 10 ? static_cast<char>('0' + value) : static_cast<char>('a' + value - 10);
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Built each time it is needed so that no key text lies in memory.
std::string keyText(std::size_t length)
{
    return std::string(length, SCRAMBLE_KEY_LETTER);
}

// Reads a pair as a hexadecimal number: as many leading hexadecimal digits
// as there are, 0 when the pair does not begin with one.
int pairValue(char high, char low)
{
    const int first = hexValue(high);
    if (first < 0)
        return 0;
    const int second = hexValue(low);
    return second < 0 ? first : first * 16 + second;
}
} // namespace

std::string base36Add(const std::string& a, const std::string& b)
{
    const std::size_t length = std::min(a.size(), b.size());
    std::string sum(length, '0');
    for (std::size_t i = 0; i < length; ++i)
        sum[i] = digitOf((digitValue(a[i]) + digitValue(b[i])) % BASE36);
    return sum;
}

std::string base36Subtract(const std::string& a, const std::string& b)
{
    const std::size_t length = std::min(a.size(), b.size());
    std::string difference(length, '0');
    for (std::size_t i = 0; i < length; ++i)
        difference[i] = digitOf((digitValue(a[i]) - digitValue(b[i]) + BASE36) % BASE36);
    return difference;
}

std::string reverseText(const std::string& text)
{
    return std::string(text.rbegin(), text.rend());
}

std::string scramblePassword(const std::string& plain)
{
    if (plain.empty())
        return {};
    static constexpr char HEX_DIGITS[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(plain.size() * 2);
    for (const char c : plain)
    {
        const auto byte = static_cast<unsigned char>(c);
        hex.push_back(HEX_DIGITS[byte >> 4]);
        hex.push_back(HEX_DIGITS[byte & 0x0F]);
    }
    return reverseText(base36Add(keyText(hex.size()), hex));
}

std::string unscramblePassword(const std::string& stored)
{
    if (stored.empty())
        return {};
    const std::string hex = base36Subtract(reverseText(stored), keyText(stored.size()));
    std::string plain;
    plain.reserve(hex.size() / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        plain.push_back(static_cast<char>(pairValue(hex[i], hex[i + 1]) & 0xFF));
    return plain;
}
