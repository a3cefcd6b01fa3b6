// The proxy step of the first tick, and runs without anybody at the screen.
#include "FaultInjection.h"
#include "RunFixture.h"

#include "proxy/QorDownloaderProxy.h"
#include "updclient/PasswordScrambling.h"

#include <cstdlib>
#include <iostream>
#include <sstream>

using namespace wftest;

namespace
{
class ProxyStepTest : public RunFixture
{
protected:
    ProxyStepTest()
    {
        ::setenv("https_proxy", "http://127.0.0.1:3128", 1);
        config.userProxy = "olduser";
        config.pswdProxy = scramblePassword("oldpw");
        onOtherDialog = [this](wxDialog* dialog) -> int
        {
            auto* proxy = dynamic_cast<QorDownloaderProxy*>(dialog);
            if (proxy == nullptr)
            {
                return wxID_CANCEL;
            }
            proxyShown = true;
            revealedAtProxy = dlg->isRevealed() || dlg->IsShown();
            shownServer = std::string(proxy->m_wzServer.begin(), proxy->m_wzServer.end());
            shownLogin = proxy->m_wzLogin;
            shownPassword = proxy->m_wzPassword;
            proxy->m_wzLogin = L"alice";
            proxy->m_wzPassword = L"s3cret";
            return proxyAnswer;
        };
    }
    ~ProxyStepTest() override { ::unsetenv("https_proxy"); }

    int proxyAnswer = wxID_OK;
    bool proxyShown = false;
    bool revealedAtProxy = true;
    std::string shownServer;
    std::wstring shownLogin;
    std::wstring shownPassword;
};

std::string field(const std::string& line, std::size_t index)
{
    std::stringstream stream(line);
    std::string value;
    for (std::size_t i = 0; i <= index && std::getline(stream, value, '|'); ++i)
    {
    }
    return value;
}

// Captures standard output for the life of the object.
class StdoutCapture
{
public:
    StdoutCapture() : m_previous(std::cout.rdbuf(m_buffer.rdbuf())) {}
    ~StdoutCapture() { std::cout.rdbuf(m_previous); }
    std::string text() const { return m_buffer.str(); }

private:
    std::ostringstream m_buffer;
    std::streambuf* m_previous;
};
} // namespace

TEST_F(ProxyStepTest, AcceptedCredentialsAreWrittenBackWithThePasswordScrambled)
{
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
    ASSERT_TRUE(proxyShown);
    EXPECT_FALSE(revealedAtProxy);
    EXPECT_NE(std::string::npos, shownServer.find("127.0.0.1:3128")) << shownServer;
    EXPECT_EQ(L"olduser", shownLogin);
    EXPECT_EQ(L"oldpw", shownPassword) << "the stored password is shown unscrambled";

    const std::string ini = folder.read("QorDownloader.ini");
    EXPECT_NE(std::string::npos, ini.find("UserProxy=alice")) << ini;
    EXPECT_NE(std::string::npos, ini.find("PswdProxy=" + scramblePassword("s3cret"))) << ini;
    EXPECT_EQ(std::string::npos, ini.find("s3cret"));
    // the library gets the credentials as stored
    const std::string init = library.callLine("initUpdInterEx");
    EXPECT_EQ("alice", field(init, 8));
    EXPECT_EQ(scramblePassword("s3cret"), field(init, 9));
    EXPECT_EQ("", missing({"INFO Leaving proxy settings with OK button", "INFO FindUpdate success",
                           "INFO Download success return code: 1"}));
    EXPECT_FALSE(log.contains("INFO No proxy"));
}

TEST_F(ProxyStepTest, UnwritableIniLogsAnErrorAndTheLibraryGetsTheTypedCredentials)
{
    // the disk is full for the INI writer: neither key can be stored
    qortest::FaultInjection faults(
        qortest::FaultInjection::fail(platform::SystemCalls::Call::Write, ENOSPC));
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
    const std::string ini = folder.read("QorDownloader.ini");
    EXPECT_NE(std::string::npos, ini.find("UserProxy=olduser")) << ini;
    // the run goes on with what was typed, not with the old stored values
    const std::string init = library.callLine("initUpdInterEx");
    EXPECT_EQ("alice", field(init, 8));
    EXPECT_EQ(scramblePassword("s3cret"), field(init, 9));
    EXPECT_EQ("", missing({"INFO Leaving proxy settings with OK button",
                           "ERROR Proxy credentials were not stored; this run uses the ones typed",
                           "INFO FindUpdate success", "INFO Download success return code: 1"}));
}

TEST_F(ProxyStepTest, CanceledProxyDialogEndsWithMinusTwoBeforeAnyDownload)
{
    proxyAnswer = wxID_CANCEL;
    const std::string before = [this]
    {
        writeIni(folder, config);
        return folder.read("QorDownloader.ini");
    }();
    run();
    EXPECT_EQ(CQorDownloaderApp::RC_PROXY_CANCELED, returnCode);
    EXPECT_EQ((std::vector<std::string>{CONFIRM_TEXT}), messages) << "no final message box";
    EXPECT_EQ("", missing({"WARN Leaving proxy settings with Cancel button",
                           "WARN Download canceled from proxy configuration",
                           "WARN Download failure return code: -2"}));
    EXPECT_TRUE(library.journal().empty());
    EXPECT_EQ(before, folder.read("QorDownloader.ini"));
    EXPECT_FALSE(dlg->isRevealed());
}

TEST_F(ProxyStepTest, UnattendedRunUsesTheStoredCredentialsWithoutAnyDialog)
{
    writeIni(folder, config);
    const std::string before = folder.read("QorDownloader.ini");
    StdoutCapture out;
    run(true);
    EXPECT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
    EXPECT_EQ(0, dialogsSeen) << "no prompt, no proxy dialog, no final box";
    EXPECT_EQ(before, folder.read("QorDownloader.ini")) << "the credentials are not rewritten";
    EXPECT_EQ(config.pswdProxy, field(library.callLine("initUpdInterEx"), 9));
    EXPECT_NE(std::string::npos, out.text().find("(stored credentials)")) << out.text();
    EXPECT_TRUE(log.contains("INFO Download confirmed (unattended)"));
}

namespace
{
class UnattendedTest : public RunFixture
{
};
} // namespace

TEST_F(UnattendedTest, SuccessfulRunPrintsOneLinePerPhase)
{
    script = "status=1 1 1 100 10 1\nstatus=1 1 1 100 15 1\nstatus=1 1 1 100 60 1\n"
             "status=0 1 1 100 100 1\n";
    StdoutCapture out;
    run(true);
    EXPECT_EQ(CQorDownloaderApp::RC_SUCCESS, returnCode);
    EXPECT_EQ(0, dialogsSeen);
    EXPECT_EQ("QorDownloader: confirmed\n"
              "proxy: none\n"
              "find: update 2.5.0 found, downloading\n"
              "download: 14%\n"
              "download: 59%\n"
              "download: 95%\n"
              "download: complete\n"
              "finalize: moved to dest\n",
              out.text());
    EXPECT_EQ("new setup", folder.read("dest/payload/setup.bin"));
    EXPECT_EQ("", missing({"INFO Download confirmed (unattended)", "INFO No proxy",
                           "INFO FinalizeUpdate success", "INFO Download stopped",
                           "INFO Download success return code: 1"}));
}

TEST_F(UnattendedTest, FailureIsPrintedAndEndsWithMinusElevenWithoutABox)
{
    script = "count=0\n";
    StdoutCapture out;
    run(true);
    EXPECT_EQ(CQorDownloaderApp::RC_DOWNLOAD_FAILED, returnCode);
    EXPECT_EQ(0, dialogsSeen);
    EXPECT_NE(std::string::npos, out.text().find("find: failed\n")) << out.text();
}
