// HTTPS as real update servers run it: certificates from a certificate
// authority this test makes, trusted through CURL_CA_BUNDLE or SSL_CERT_FILE;
// each kind of bad certificate refused with its verdict; redirects followed
// only where they keep the transfer safe; the server password sent only over
// TLS and only to the host it is meant for.
#include "UpdateFixture.h"

#include "pelvane/base/PelvaneErrors.h"
#include "updclient/PasswordScrambling.h"

#include <chrono>
#include <filesystem>
#include <thread>

using namespace pelvanetest;
namespace fs = std::filesystem;

namespace
{
constexpr int CURLE_UNSUPPORTED_PROTOCOL = 1;
constexpr int CURLE_TOO_MANY_REDIRECTS = 47;
constexpr int CURLE_PEER_FAILED_VERIFICATION = 60;
// OpenSSL's X509 verification results
constexpr int X509_CERT_HAS_EXPIRED = 10;
constexpr int X509_UNABLE_TO_GET_ISSUER_CERT_LOCALLY = 20;
constexpr int X509_HOSTNAME_MISMATCH = 62;

class TlsTest : public UpdateFixture
{
protected:
    void SetUp() override
    {
        UpdateFixture::SetUp();
        std::string output;
        ASSERT_EQ(
            qortest::runProgram({"python3", QOR_SERVERS_PY, "make-ca", "--dir", caDir()}, &output),
            0)
            << output;
        publish("1.0.0", {{"setup.bin", patternData(300000, 3)}});
    }
    void TearDown() override
    {
        ::unsetenv("CURL_CA_BUNDLE");
        ::unsetenv("SSL_CERT_FILE");
        UpdateFixture::TearDown();
    }
    std::string caDir() const { return temp() / "ca"; }
    std::string caBundle() const { return caDir() + "/ca.pem"; }
    static std::string httpsUrl(const qortest::ServerProcess& server)
    {
        return "https://127.0.0.1:" + std::to_string(server.port());
    }
    std::vector<std::string> httpsServer(std::vector<std::string> extra = {}) const
    {
        std::vector<std::string> arguments = {"nginx", "--root", repo(), "--ca-dir", caDir()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }
    void expectNothingWritten()
    {
        EXPECT_FALSE(fs::exists(target()));
        EXPECT_FALSE(fs::exists(extract() + "/1.0.0"));
    }
};

std::vector<std::string> authorizationsIn(const std::string& accessLog)
{
    std::vector<std::string> seen; // nginx writes "-" for a missing header
    const std::string text = qortest::readTextFile(accessLog);
    for (std::size_t at = text.find("auth=\""); at != std::string::npos;
         at = text.find("auth=\"", at + 1))
    {
        const std::size_t end = text.find('"', at + 6);
        seen.push_back(text.substr(at + 6, end - at - 6));
    }
    return seen;
}

// nginx writes a line just after it answered, so a client may read the log
// first: wait (bounded) until at least `count` lines are there.
std::vector<std::string> authorizationsOnceLogged(const std::string& accessLog, std::size_t count)
{
    std::vector<std::string> seen = authorizationsIn(accessLog);
    for (int i = 0; i < 60 && seen.size() < count; ++i)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        seen = authorizationsIn(accessLog);
    }
    return seen;
}

// The log once nginx has stopped adding lines of the previous run.
std::vector<std::string> settledAuthorizations(const std::string& accessLog)
{
    std::vector<std::string> seen = authorizationsIn(accessLog);
    for (int i = 0; i < 40; ++i)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::vector<std::string> again = authorizationsIn(accessLog);
        if (again.size() == seen.size())
        {
            break;
        }
        seen = std::move(again);
    }
    return seen;
}
} // namespace

TEST_F(TlsTest, AnHttpsRepositoryIsDownloadedWithTheBundleEitherVariableNames)
{
    qortest::ServerProcess web(httpsServer());
    ASSERT_TRUE(web.started()) << web.failure();
    InitOptions options;
    options.url = httpsUrl(web);
    for (const char* variable : {"CURL_CA_BUNDLE", "SSL_CERT_FILE"})
    {
        SCOPED_TRACE(variable);
        fs::remove_all(target());
        fs::remove_all(extract());
        ::setenv(variable, caBundle().c_str(), 1);
        const Outcome end = runToEnd(options);
        ::unsetenv(variable);
        EXPECT_EQ(end.result, 1) << end.api << " " << end.primary << " " << end.secondary;
        EXPECT_EQ(qortest::readTextFile(target() + "/setup.bin"), patternData(300000, 3));
    }
}

TEST_F(TlsTest, BadCertificatesAreRefusedWithTheVerdictInTheSecondaryCode)
{
    struct Case
    {
        const char* what;
        std::vector<std::string> serverOptions;
        bool trustTheAuthority;
        int verdict;
    };
    const std::vector<Case> cases = {
        {"wrong host name",
         {"--cert-host", "updates.example.invalid"},
         true,
         X509_HOSTNAME_MISMATCH},
        {"expired", {"--cert-days", "-1"}, true, X509_CERT_HAS_EXPIRED},
        {"unknown authority", {}, false, X509_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        qortest::ServerProcess web(httpsServer(c.serverOptions));
        ASSERT_TRUE(web.started()) << web.failure();
        if (c.trustTheAuthority)
        {
            ::setenv("CURL_CA_BUNDLE", caBundle().c_str(), 1);
        }
        InitOptions options;
        options.url = httpsUrl(web);
        const Outcome end = runToEnd(options);
        ::unsetenv("CURL_CA_BUNDLE");
        EXPECT_EQ(end.result, 0);
        EXPECT_EQ(end.api, pelvane::API_NETWORK);
        EXPECT_EQ(end.primary, CURLE_PEER_FAILED_VERIFICATION);
        EXPECT_EQ(end.secondary, c.verdict);
        expectNothingWritten();
    }
}

TEST_F(TlsTest, RedirectsAreFollowedUpToHttpsNeverDownToHttpAndNotForever)
{
    ::setenv("CURL_CA_BUNDLE", caBundle().c_str(), 1);
    qortest::ServerProcess secure(httpsServer());
    ASSERT_TRUE(secure.started()) << secure.failure();
    qortest::ServerProcess plain({"nginx", "--root", repo()});
    ASSERT_TRUE(plain.started()) << plain.failure();
    {
        SCOPED_TRACE("http to https");
        qortest::ServerProcess upgrade(
            {"nginx", "--root", repo(), "--redirect-to", httpsUrl(secure)});
        ASSERT_TRUE(upgrade.started()) << upgrade.failure();
        InitOptions options;
        options.url = upgrade.url();
        EXPECT_EQ(runToEnd(options).result, 1);
        EXPECT_EQ(qortest::readTextFile(target() + "/setup.bin"), patternData(300000, 3));
    }
    fs::remove_all(target());
    fs::remove_all(extract());
    {
        SCOPED_TRACE("https to http");
        qortest::ServerProcess downgrade(httpsServer({"--redirect-to", plain.url()}));
        ASSERT_TRUE(downgrade.started()) << downgrade.failure();
        InitOptions options;
        options.url = httpsUrl(downgrade);
        const Outcome end = runToEnd(options);
        EXPECT_EQ(end.api, pelvane::API_HTTP);
        EXPECT_EQ(end.primary, CURLE_UNSUPPORTED_PROTOCOL);
        expectNothingWritten();
    }
    {
        SCOPED_TRACE("a loop");
        const std::string log = temp() / "loop.log";
        qortest::ServerProcess loop(
            httpsServer({"--redirect-to", "{self}/again", "--access-log", log}));
        ASSERT_TRUE(loop.started()) << loop.failure();
        InitOptions options;
        options.url = httpsUrl(loop);
        const Outcome end = runToEnd(options);
        EXPECT_EQ(end.api, pelvane::API_HTTP);
        EXPECT_EQ(end.primary, CURLE_TOO_MANY_REDIRECTS);
        // the first request and five redirects, once: a redirect loop is not retried
        EXPECT_EQ(authorizationsOnceLogged(log, 6).size(), 6U);
        expectNothingWritten();
    }
}

TEST_F(TlsTest, NotesPasswordGoesOnlyOverHttpsAndOnlyToTheRepositoryHost)
{
    ::setenv("CURL_CA_BUNDLE", caBundle().c_str(), 1);
    const std::string securedLog = temp() / "secured.log";
    qortest::ServerProcess secured(
        httpsServer({"--user", APPLICATION, "--password", "notes-pw", "--access-log", securedLog}));
    ASSERT_TRUE(secured.started()) << secured.failure();
    InitOptions options;
    options.url = httpsUrl(secured);
    options.notesPswd = "wrong";
    Outcome end = runToEnd(options);
    EXPECT_EQ(end.api, pelvane::API_SERVER_AUTH);
    EXPECT_EQ(end.secondary, 401);
    options.notesPswd = "notes-pw";
    end = runToEnd(options);
    ASSERT_EQ(end.result, 1) << end.api;
    EXPECT_EQ(qortest::readTextFile(target() + "/setup.bin"), patternData(300000, 3));
    fs::remove_all(target());
    fs::remove_all(extract());

    {
        SCOPED_TRACE("another host after a redirect");
        const std::size_t before = settledAuthorizations(securedLog).size();
        qortest::ServerProcess elsewhere(httpsServer({"--redirect-to", httpsUrl(secured)}));
        ASSERT_TRUE(elsewhere.started()) << elsewhere.failure();
        options.url = httpsUrl(elsewhere);
        end = runToEnd(options);
        EXPECT_EQ(end.api, pelvane::API_SERVER_AUTH);
        const std::vector<std::string> seen = authorizationsOnceLogged(securedLog, before + 1);
        ASSERT_GT(seen.size(), before) << "the redirect did not reach the repository host";
        for (std::size_t i = before; i < seen.size(); ++i)
        {
            EXPECT_TRUE(seen[i].empty() || seen[i] == "-")
                << "forwarded to another host: " << seen[i];
        }
    }
    {
        SCOPED_TRACE("plain http");
        const std::string plainLog = temp() / "plain.log";
        qortest::ServerProcess plain({"nginx", "--root", repo(), "--user", APPLICATION,
                                      "--password", "notes-pw", "--access-log", plainLog});
        ASSERT_TRUE(plain.started()) << plain.failure();
        options.url = plain.url();
        end = runToEnd(options);
        EXPECT_EQ(end.api, pelvane::API_SERVER_AUTH);
        EXPECT_EQ(end.secondary, 401);
        const std::vector<std::string> seen = authorizationsOnceLogged(plainLog, 1);
        EXPECT_FALSE(seen.empty());
        for (const std::string& authorization : seen)
        {
            EXPECT_TRUE(authorization.empty() || authorization == "-")
                << "password sent in clear text: " << authorization;
        }
    }
    expectNothingWritten();
}

TEST_F(TlsTest, HttpsThroughAnAuthenticatingProxyTunnelsAndStillChecksTheCertificate)
{
    qortest::ServerProcess web(httpsServer());
    ASSERT_TRUE(web.started()) << web.failure();
    const std::string proxyLog = temp() / "proxy.log";
    qortest::ServerProcess proxy({"tinyproxy", "--user", "alice", "--password", "pr0xyPw9",
                                  "--connect-port", std::to_string(web.port()), "--log", proxyLog});
    ASSERT_TRUE(proxy.started()) << proxy.failure();
    ::setenv("https_proxy", proxy.url().c_str(), 1);
    InitOptions options;
    options.url = httpsUrl(web);
    options.userProxy = "alice";
    options.pswdProxy = scramblePassword("pr0xyPw9");

    // the tunnel does not make an unknown authority acceptable
    Outcome end = runToEnd(options);
    EXPECT_EQ(end.api, pelvane::API_NETWORK);
    EXPECT_EQ(end.primary, CURLE_PEER_FAILED_VERIFICATION);
    expectNothingWritten();

    ::setenv("CURL_CA_BUNDLE", caBundle().c_str(), 1);
    end = runToEnd(options);
    clearProxyEnvironment();
    ASSERT_EQ(end.result, 1) << end.api << " " << end.primary << " " << end.secondary;
    EXPECT_EQ(qortest::readTextFile(target() + "/setup.bin"), patternData(300000, 3));
    const std::string seen = qortest::readTextFile(proxyLog);
    EXPECT_NE(seen.find("CONNECT 127.0.0.1:" + std::to_string(web.port())), std::string::npos)
        << seen;
}
