#include "resources/StringTable.h"

#include "resources/Translation.h"

#include <array>
#include <utility>

namespace
{
// 136, 138, 141, 143, 146 and 148 hold placeholders that nothing reads, so
// they are not offered for translation. The English texts are the catalog's
// source; find() gives them in the user's language.
constexpr std::array<std::pair<unsigned int, const char*>, 17> STRINGS = {{
    {135, QOR_N_("QorDownloader")},
    {136, "Reserved"},
    {137, QOR_N_("The application is already running !")},
    {138, "Reserved"},
    {139, QOR_N_("Do you really want to download Orvane Installer ?")},
    {140, QOR_N_("Download in progress. Please wait...")},
    {141, "Reserved"},
    {142, QOR_N_("Do you really want to cancel the download ?")},
    {143, "Reserved"},
    {144, QOR_N_("Download complete")},
    {145, QOR_N_("Failed to download !")},
    {146, "Reserved"},
    {147, QOR_N_("Please wait until the download stops...")},
    {148, "Reserved"},
    {149, QOR_N_("Proxy address")},
    {150, QOR_N_("Login")},
    {151, QOR_N_("Password")},
}};
} // namespace

std::wstring_view StringTable::find(unsigned int id)
{
    for (const auto& [stringId, text] : STRINGS)
    {
        if (stringId == id)
        {
            return Translation::wideText(text);
        }
    }
    return {};
}
