// libFuzzer target for the INI reader and writer: arbitrary file contents
// must neither crash nor make a written key unreadable, disturb another
// key, or overrun the caller's buffer.
#include "fuzz/FuzzCheck.h"
#include "platform/LastError.h"
#include "platform/ProfileFile.h"

#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace
{
// An in-memory file, opened by name through /proc, keeps the disk out of
// every run.
int scratchDescriptor()
{
    static const int fd = ::memfd_create("qor-ini-fuzz", 0);
    return fd;
}

using fuzzcheck::check;

std::size_t utf16Units(const std::wstring& text)
{
    std::size_t units = 0;
    for (const wchar_t c : text)
        units += static_cast<std::uint32_t>(c) > 0xFFFF ? 2 : 1;
    return units;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const platform::ProfileFile file(bytes);

    // a name taken from the input as well as the program's own names
    const std::wstring fromInput = platform::decodeUtf8Lenient(bytes.substr(0, 6));
    for (const std::wstring& section : {std::wstring(L"PROXY"), std::wstring(L"CONFIG"), fromInput})
    {
        for (const std::wstring& key :
             {std::wstring(L"UserProxy"), std::wstring(L"Mode"), fromInput})
            (void)file.value(section, key);
    }

    const std::wstring value = L" new\tvalue \"";
    const std::optional<std::string> updated = file.withValue(L"PROXY", L"UserProxy", value);
    check(updated.has_value(), "valid names refused");
    const platform::ProfileFile after(*updated);
    check(after.value(L"PROXY", L"UserProxy") == value, "written value reads back");
    check(after.value(L"CONFIG", L"Mode") == file.value(L"CONFIG", L"Mode"),
          "another section's key unchanged");
    check(after.value(L"proxy", L"PswdProxy") == file.value(L"PROXY", L"PswdProxy"),
          "another key of the section unchanged");

    // through a real file and the Windows-style buffer
    const int fd = scratchDescriptor();
    if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        return 0;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const std::wstring fileName(path.begin(), path.end());
    wchar_t buffer[1025];
    buffer[1024] = L'#';
    const unsigned long count =
        platform::getPrivateProfileString(L"CONFIG", L"Mode", L"dflt", buffer, 1024, fileName);
    check(buffer[1024] == L'#', "buffer overrun");
    check(buffer[count] == L'\0', "terminated");
    const std::wstring copied(buffer, count);
    check(utf16Units(copied) <= 1023, "cut at 1023 units");
    const std::optional<std::wstring> expected = file.value(L"CONFIG", L"Mode");
    check(expected.value_or(L"dflt").compare(0, copied.size(), copied) == 0, "copied prefix");
    return 0;
}
