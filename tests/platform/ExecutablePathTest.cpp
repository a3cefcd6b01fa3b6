// The running program's path, Windows style: length, truncation, failure.
#include "platform/ExecutablePath.h"
#include "platform/LastError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cwchar>
#include <unistd.h>

using platform::ExecutablePath;

namespace
{
std::wstring expectedPath()
{
    char buffer[PATH_MAX] = {};
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    // the build folder's path is ASCII
    return std::wstring(buffer, buffer + (length > 0 ? length : 0));
}

TEST(ExecutablePath, GivesThePathAndItsLength)
{
    const std::wstring expected = expectedPath();
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(ExecutablePath::get(), expected);

    wchar_t buffer[ExecutablePath::MAX_PATH_UNITS];
    std::wmemset(buffer, L'#', ExecutablePath::MAX_PATH_UNITS);
    const unsigned long length =
        ExecutablePath::getModuleFileName(buffer, ExecutablePath::MAX_PATH_UNITS);
    EXPECT_EQ(length, expected.size());
    EXPECT_EQ(std::wstring(buffer), expected);
}

TEST(ExecutablePath, TruncatesToTheBufferAndAnswersItsSize)
{
    const std::wstring expected = expectedPath();
    ASSERT_GT(expected.size(), 5u);
    wchar_t buffer[6];
    std::wmemset(buffer, L'#', 6);
    platform::setLastError(0);
    EXPECT_EQ(ExecutablePath::getModuleFileName(buffer, 6), 6UL);
    EXPECT_EQ(std::wstring(buffer), expected.substr(0, 5));
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(ENAMETOOLONG));

    // exactly the path's length leaves no room for the terminator
    std::wstring exact(expected.size(), L'#');
    EXPECT_EQ(
        ExecutablePath::getModuleFileName(exact.data(), static_cast<unsigned long>(exact.size())),
        expected.size());
    EXPECT_EQ(exact.substr(0, expected.size() - 1), expected.substr(0, expected.size() - 1));
    EXPECT_EQ(exact.back(), L'\0');
}

TEST(ExecutablePath, NoBufferIsAFailure)
{
    wchar_t buffer[1] = {L'#'};
    EXPECT_EQ(ExecutablePath::getModuleFileName(buffer, 0), 0UL);
    EXPECT_EQ(platform::getLastError(), static_cast<unsigned long>(EINVAL));
    EXPECT_EQ(buffer[0], L'#');
    EXPECT_EQ(ExecutablePath::getModuleFileName(nullptr, 10), 0UL);
}
} // namespace
