// Narrow <-> wide text in a named character set, through iconv. Everything
// that turns a std::wstring into bytes for the system (paths, the update
// client's arguments, the stored password) goes through here, so that one
// character set decides both directions.
#pragma once

#include <string>
#include <string_view>

namespace platform
{
class TextCodec
{
public:
    // What to do with a character the target character set cannot hold.
    enum class Unmappable
    {
        Replace, // write a replacement character ('?', U+FFFD in UTF-8)
        Fail,    // stop; last error EILSEQ
    };

    // The character set of the current LC_CTYPE locale ("UTF-8", "ANSI_X3.4-1968", ...).
    static std::string localeCharset();
    // The iconv name for a Windows code page number: 0 (CP_ACP) is the
    // locale's character set, 65001 is UTF-8, 20127 ASCII, 28591..28599
    // ISO-8859-n, any other n "CP<n>". Whether iconv knows it shows on use.
    static std::string charsetForCodePage(unsigned int codePage);

    // Encodes text into charset. false (last error EINVAL) when iconv does
    // not know charset, or EILSEQ for an unmappable character under Fail.
    static bool encode(std::wstring_view text, const std::string& charset, Unmappable unmappable,
                       std::string& out);
    // Decodes text from charset; a byte that does not start a valid
    // sequence becomes the wide character of the same value (U+0000..U+00FF).
    // An unknown charset widens every byte that way.
    static std::wstring decode(std::string_view text, const std::string& charset);

    // Shorthands for file names: the locale's character set, never replacing
    // a character (a replaced name would address another file).
    static bool encodePath(std::wstring_view path, std::string& out);
    static std::wstring decodePath(std::string_view path);
};
} // namespace platform
