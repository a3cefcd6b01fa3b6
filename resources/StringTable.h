// The program's own string table (ids 135 to 151), English (United Kingdom),
// compiled in, in the user's language where a catalog has the text.
// C_WindowsTools::getUString reads it.
#pragma once

#include <string_view>

class StringTable
{
public:
    // The text of id; empty when the table has no such string. The view
    // stays valid for the life of the process.
    static std::wstring_view find(unsigned int id);
};
