#include "tools/C_WindowsTools.h"

#include "logging/AppLogger.h"
#include "platform/LastError.h"
#include "platform/TextCodec.h"
#include "resources/StringTable.h"
#include "tools/ElfVersionReader.h"

#include <sstream>
#include <vector>

bool C_WindowsTools::getVersionFromFile(const std::wstring& fileName, unsigned long& versionMS,
                                        unsigned long& versionLS)
{
    ElfVersionReader reader;
    std::string path;
    if (!platform::TextCodec::encodePath(fileName, path) || !reader.locate(path))
    {
        QOR_LOG_WARN("GetFileVersionInfoSize error: " << platform::getLastError());
        return false;
    }
    std::vector<unsigned char> descriptor;
    if (!reader.read(descriptor))
    {
        QOR_LOG_WARN("GetFileVersionInfo error: " << platform::getLastError());
        return false;
    }
    qorversion::FixedFileInfo info{};
    if (!reader.fixedInfo(descriptor, info))
    {
        QOR_LOG_WARN("VerQueryValue error: " << platform::getLastError());
        return false;
    }
    versionMS = info.dwFileVersionMS;
    versionLS = info.dwFileVersionLS;
    return true;
}

bool C_WindowsTools::getVersionString(const std::wstring& fileName, std::wstring& version)
{
    unsigned long versionMS = 0;
    unsigned long versionLS = 0;
    if (!getVersionFromFile(fileName, versionMS, versionLS))
    {
        return false;
    }
    std::wostringstream text;
    text << ((versionMS >> 16) & 0xFFFF) << L'.' << (versionMS & 0xFFFF) << L'.'
         << ((versionLS >> 16) & 0xFFFF) << L'.' << (versionLS & 0xFFFF);
    version = text.str();
    return true;
}

std::wstring C_WindowsTools::getUString(const unsigned int& id, const std::wstring& defaultText)
{
    const std::wstring_view text = StringTable::find(id);
    if (text.empty())
    {
        QOR_LOG_WARN("LoadString error: " << text.size());
        return defaultText;
    }
    return std::wstring(text);
}
