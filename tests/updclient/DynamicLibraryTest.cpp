// The dlopen layer's own failure reports, which the binding logs.
#include "platform/DynamicLibrary.h"
#include "platform/LastError.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(DynamicLibrary, FailuresLeaveTheLayersCodeAndTheLoadersText)
{
    EXPECT_EQ(DynamicLibrary::loadLibrary(""), nullptr);
    EXPECT_EQ(getLastError(), ERROR_MOD_NOT_FOUND);

    EXPECT_EQ(DynamicLibrary::loadLibrary("libNoSuchLibraryAnywhere.so"), nullptr);
    EXPECT_EQ(getLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_NE(DynamicLibrary::lastErrorText().find("libNoSuchLibraryAnywhere.so"),
              std::string::npos)
        << DynamicLibrary::lastErrorText();

    EXPECT_EQ(DynamicLibrary::getProcAddress(nullptr, "closeUpdInter"), nullptr);
    EXPECT_EQ(getLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(DynamicLibrary::freeLibrary(nullptr));
    EXPECT_EQ(getLastError(), ERROR_INVALID_HANDLE);
}

TEST(DynamicLibrary, MissingSymbolIsReportedAndTheLibraryStaysUsable)
{
    void* handle = DynamicLibrary::loadLibrary(FAKE_EIGHT_PATH);
    ASSERT_NE(handle, nullptr) << DynamicLibrary::lastErrorText();
    EXPECT_EQ(DynamicLibrary::getProcAddress(handle, "downloadUntil"), nullptr);
    EXPECT_EQ(getLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_NE(DynamicLibrary::lastErrorText().find("downloadUntil"), std::string::npos);
    EXPECT_NE(DynamicLibrary::getProcAddress(handle, "closeDownload"), nullptr);
    EXPECT_TRUE(DynamicLibrary::freeLibrary(handle));
}
