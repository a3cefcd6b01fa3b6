#include "tools/UnicodeFile.h"

#include "logging/AppLogger.h"
#include "platform/LastError.h"
#include "platform/TextCodec.h"

#include <cerrno>
#include <cstring>
#include <cwchar>

std::string wstringToString(const std::wstring& text, const unsigned int codePage)
{
    // like the Windows call given -1 as length: the text ends at its first NUL
    const std::wstring_view content(text.c_str(), std::wcslen(text.c_str()));
    std::string result;
    if (platform::TextCodec::encode(content, platform::TextCodec::charsetForCodePage(codePage),
                                    platform::TextCodec::Unmappable::Replace, result))
    {
        return result;
    }
    if (platform::getLastError() == EINVAL)
    {
        // the code page is unknown: the size query fails
        QOR_LOG_WARN("Error while preparing wstring2string conversion from: " << text);
        QOR_LOG_WARN("CodePage: " << codePage);
        QOR_LOG_WARN("Return size: " << 0);
    }
    else
    {
        QOR_LOG_WARN("Error while wstring2string conversion from: " << text);
        QOR_LOG_WARN("CodePage: " << codePage);
        QOR_LOG_WARN("Return size: " << 0);
    }
    return std::string();
}

std::wstring stringToWstring(const std::string& text)
{
    const std::string_view content(text.c_str(), std::strlen(text.c_str()));
    return platform::TextCodec::decode(content, platform::TextCodec::charsetForCodePage(0));
}
