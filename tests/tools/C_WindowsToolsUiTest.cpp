// Strings of another module: the system module's button captions come from
// the toolkit; any other module must be there to be read.
#include "LogCapture.h"
#include "TempFolder.h"

#include "platform/ExecutablePath.h"
#include "tools/C_WindowsTools.h"

#include <gtest/gtest.h>

#include <clocale>

namespace
{
using Lines = std::vector<std::string>;

TEST(ModuleStrings, SystemModuleGivesTheToolkitCaptionsForOkAndCancel)
{
    qortest::LogCapture capture;
    // the tests run untranslated, so the captions are the English stock labels
    EXPECT_EQ(C_WindowsTools::getUString(L"user32.dll", 800, L"default"), L"OK");
    EXPECT_EQ(C_WindowsTools::getUString(L"user32.dll", 801, L"default"), L"Cancel");
    EXPECT_EQ(C_WindowsTools::getUString(L"USER32.DLL", 801, L"default"), L"Cancel");
    // other ids of the system module are missing strings: the default, silently
    EXPECT_EQ(C_WindowsTools::getUString(L"user32.dll", 802, L"default"), L"default");
    EXPECT_EQ(C_WindowsTools::getUString(L"user32.dll", 144, L""), L"");
    EXPECT_TRUE(capture.lines().empty());
}

TEST(ModuleStrings, ModuleThatCannotBeMappedGivesTheDefaultAndTwoWarnings)
{
    // a name outside ASCII needs a locale that can write it
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    qortest::TempFolder folder;
    const std::wstring missing = folder.path().wstring() + L"/Ä missing.dll";
    qortest::LogCapture capture;
    EXPECT_EQ(C_WindowsTools::getUString(missing, 800, L"OK"), L"OK");
    EXPECT_EQ(capture.lines(),
              (Lines{"WARN LoadLibraryEx: " + folder.path().string() + "/Ä missing.dll",
                     "WARN LoadLibraryEx error: 2"}));
    capture.clear();
    EXPECT_EQ(C_WindowsTools::getUString(L"", 800, L"OK"), L"OK");
    EXPECT_EQ(capture.lines(), (Lines{"WARN LoadLibraryEx: ", "WARN LoadLibraryEx error: 22"}));
    std::setlocale(LC_ALL, "C");
}

TEST(ModuleStrings, OtherReadableModuleIsLookedUpLikeTheProgramsOwnTable)
{
    const std::wstring self = platform::ExecutablePath::get();
    qortest::LogCapture capture;
    EXPECT_EQ(C_WindowsTools::getUString(self, 144, L"x"), L"Download complete");
    EXPECT_EQ(C_WindowsTools::getUString(self, 9999, L"x"), L"x");
    EXPECT_TRUE(capture.lines().empty());
}
} // namespace
