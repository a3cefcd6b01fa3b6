// File version records and resource strings.
#pragma once

#include <string>

class C_WindowsTools
{
public:
    // Reads the fixed version record of fileName; outputs written only on success.
    bool getVersionFromFile(const std::wstring& fileName, unsigned long& versionMS,
                            unsigned long& versionLS);
    // The same version as dotted text of four decimal parts.
    bool getVersionString(const std::wstring& fileName, std::wstring& version);

    // String id of the program's own string table, or defaultText.
    static std::wstring getUString(const unsigned int& id, const std::wstring& defaultText);
    // String id of another module's table ("user32.dll": 800 OK, 801 Cancel,
    // the toolkit's stock labels in the user's language), or defaultText.
    static std::wstring getUString(const std::wstring& moduleFile, const unsigned int& id,
                                   const std::wstring& defaultText);
};
