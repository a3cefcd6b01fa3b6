// The form of getUString that reads another module's strings. It needs the
// toolkit for the system's own button captions, so it lives apart from the
// wx-free core.
#include "tools/C_WindowsTools.h"

#include "logging/AppLogger.h"
#include "platform/LastError.h"
#include "platform/ReadOnlyFile.h"
#include "platform/TextCodec.h"
#include "resources/StringTable.h"

#include <wx/stockitem.h>

#include <cerrno>
#include <cwctype>

namespace
{
constexpr unsigned int USER32_OK = 800;
constexpr unsigned int USER32_CANCEL = 801;

bool isUser32(const std::wstring& moduleFile)
{
    constexpr std::wstring_view user32 = L"user32.dll";
    if (moduleFile.size() != user32.size())
    {
        return false;
    }
    for (std::size_t i = 0; i < user32.size(); ++i)
    {
        if (std::towlower(static_cast<wint_t>(moduleFile[i])) != static_cast<wint_t>(user32[i]))
        {
            return false;
        }
    }
    return true;
}

// The system module stands for the toolkit, whose stock captions follow the
// user's language.
std::wstring systemString(unsigned int id)
{
    switch (id)
    {
    case USER32_OK:
        return wxGetStockLabel(wxID_OK, wxSTOCK_NOFLAGS).ToStdWstring();
    case USER32_CANCEL:
        return wxGetStockLabel(wxID_CANCEL, wxSTOCK_NOFLAGS).ToStdWstring();
    default:
        return std::wstring();
    }
}

// Stand-in for mapping a module as data: the file has to be there and
// readable; false with the error of the failing call.
bool mapModule(const std::wstring& moduleFile)
{
    if (moduleFile.empty())
    {
        platform::setLastError(EINVAL);
        return false;
    }
    std::string path;
    platform::ReadOnlyFile file;
    return platform::TextCodec::encodePath(moduleFile, path) && file.open(path);
}
} // namespace

std::wstring C_WindowsTools::getUString(const std::wstring& moduleFile, const unsigned int& id,
                                        const std::wstring& defaultText)
{
    std::wstring text;
    if (isUser32(moduleFile))
    {
        text = systemString(id);
    }
    else if (mapModule(moduleFile))
    {
        // a module of ours carries the program's own table
        text = StringTable::find(id);
    }
    else
    {
        QOR_LOG_WARN("LoadLibraryEx: " << moduleFile);
        QOR_LOG_WARN("LoadLibraryEx error: " << platform::getLastError());
        return defaultText;
    }
    // a missing or empty string is not worth a log line here
    return text.empty() ? defaultText : text;
}
