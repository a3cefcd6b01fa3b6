// Storing the credentials confirmed in the proxy dialog: written scrambled
// when the file takes them; when it cannot, an ERROR says so and the rest of
// the run still reads what the user typed, never the old stored values.
#include "FaultInjection.h"
#include "TestSupport.h"

#include "config/C_IniFileTools.h"
#include "config/ConfigKeys.h"
#include "proxy/C_Proxy.h"
#include "updclient/PasswordScrambling.h"

#include <gtest/gtest.h>

#include <cerrno>

using qortest::FaultInjection;
using qortest::LogCapture;
using Call = platform::SystemCalls::Call;

namespace
{
std::wstring stored(C_IniFileTools& ini, const wchar_t* key)
{
    return ini.getWstring(ConfigKeys::OWN_INI_FILE, ConfigKeys::SECTION_PROXY, key, L"");
}

std::string narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end()); // scrambled text is ASCII
}

bool hasError(const LogCapture& log, const std::wstring& text)
{
    for (const auto& event : qortest::logEvents(log))
    {
        if (event.level == "ERROR" && event.text == text)
            return true;
    }
    return false;
}

const std::wstring NOT_STORED = L"Proxy credentials were not stored; this run uses the ones typed";

TEST(ProxyCredentials, ConfirmedCredentialsAreStoredScrambled)
{
    const qortest::TempWorkDir dir;
    qortest::writeBytes("QorDownloader.ini", "[PROXY]\nUserProxy=old\n");
    C_IniFileTools ini;
    const LogCapture log;
    EXPECT_TRUE(C_Proxy::storeCredentials(ini, L"alice", L"s3cret"));
    EXPECT_FALSE(hasError(log, NOT_STORED));
    EXPECT_EQ(stored(ini, ConfigKeys::KEY_USER_PROXY), L"alice");
    EXPECT_EQ(qortest::readBytes("QorDownloader.ini").find("s3cret"), std::string::npos);
    EXPECT_EQ(unscramblePassword(narrow(stored(ini, ConfigKeys::KEY_PSWD_PROXY))), "s3cret");
}

TEST(ProxyCredentials, UnwritableFileLogsAnErrorAndTheRunKeepsWhatWasTyped)
{
    const qortest::TempWorkDir dir;
    const std::string before =
        "[PROXY]\nUserProxy=old\nPswdProxy=" + scramblePassword("oldpw") + "\n";
    qortest::writeBytes("QorDownloader.ini", before);
    C_IniFileTools ini;
    {
        const LogCapture log;
        FaultInjection faults(FaultInjection::fail(Call::Write, ENOSPC));
        EXPECT_FALSE(C_Proxy::storeCredentials(ini, L"alice", L"typed"));
        EXPECT_TRUE(hasError(log, NOT_STORED)) << qortest::describe(qortest::logEvents(log));
    }
    EXPECT_EQ(qortest::readBytes("QorDownloader.ini"), before);
    // a later reader (the find worker) gets the typed values, not the old ones
    C_IniFileTools later;
    EXPECT_EQ(stored(later, ConfigKeys::KEY_USER_PROXY), L"alice");
    EXPECT_EQ(unscramblePassword(narrow(stored(later, ConfigKeys::KEY_PSWD_PROXY))), "typed");

    // once the file takes them, the file itself is what is read again
    EXPECT_TRUE(C_Proxy::storeCredentials(ini, L"bob", L"next"));
    EXPECT_EQ(stored(later, ConfigKeys::KEY_USER_PROXY), L"bob");
    EXPECT_NE(qortest::readBytes("QorDownloader.ini").find("UserProxy=bob"), std::string::npos);
}
} // namespace
