#include "resources/StringTable.h"

#include <array>
#include <utility>

namespace
{
// 136, 138, 141, 143, 146 and 148 hold placeholders that nothing reads.
constexpr std::array<std::pair<unsigned int, std::wstring_view>, 17> STRINGS = {{
    {135, L"QorDownloader"},
    {136, L"Reserved"},
    {137, L"The application is already running !"},
    {138, L"Reserved"},
    {139, L"Do you really want to download Orvane Installer ?"},
    {140, L"Download in progress. Please wait..."},
    {141, L"Reserved"},
    {142, L"Do you really want to cancel the download ?"},
    {143, L"Reserved"},
    {144, L"Download complete"},
    {145, L"Failed to download !"},
    {146, L"Reserved"},
    {147, L"Please wait until the download stops..."},
    {148, L"Reserved"},
    {149, L"Proxy address"},
    {150, L"Login"},
    {151, L"Password"},
}};
} // namespace

std::wstring_view StringTable::find(unsigned int id)
{
    for (const auto& [stringId, text] : STRINGS)
    {
        if (stringId == id)
        {
            return text;
        }
    }
    return {};
}
