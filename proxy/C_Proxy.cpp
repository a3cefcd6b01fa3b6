#include "proxy/C_Proxy.h"

#include "config/C_IniFileTools.h"
#include "config/ConfigKeys.h"
#include "logging/AppLogger.h"
#include "platform/ProxySettings.h"
#include "tools/UnicodeFile.h"
#include "updclient/PasswordScrambling.h"

#include <sstream>

namespace
{
// The registry's "ProxyServer" is read into 1024 wide characters, of which
// 1023 bytes are offered for the data.
constexpr unsigned long PROXY_SERVER_MAX_BYTES = 1023;

// The update URL the library is about to be given (its mirrors), so that
// the proxy found is the one its downloads go through. Read quietly: the
// find step reads it again and logs what it found.
std::string updateUrl()
{
    using namespace ConfigKeys;
    return wstringToString(
        C_IniFileTools::peekWstring(UPDINTER_INI_FILE, SECTION_KARVO, KEY_URL, L""), CP_ACP);
}
} // namespace

bool C_Proxy::getProxyConfiguration(std::wstring& proxy)
{
    platform::ProxySettings settings;
    const long openResult = settings.openFor(updateUrl());
    if (openResult != platform::PROXY_SETTINGS_SUCCESS)
    {
        QOR_LOG_WARN("RegOpenKeyEx error: " << openResult);
        return false;
    }

    unsigned long proxyEnable = 0;
    const long enableResult = settings.queryNumber(L"ProxyEnable", proxyEnable);
    if (enableResult != platform::PROXY_SETTINGS_SUCCESS)
    {
        QOR_LOG_WARN("RegQueryValueEx ProxyEnable key error: " << enableResult);
        return false;
    }
    if (proxyEnable == 0)
        return false;

    std::wstring l_wzProxy;
    const long serverResult = settings.queryText(L"ProxyServer", l_wzProxy, PROXY_SERVER_MAX_BYTES);
    if (serverResult != platform::PROXY_SETTINGS_SUCCESS)
    {
        QOR_LOG_WARN("RegQueryValueEx ProxyServer key error: " << serverResult);
        return false;
    }
    QOR_LOG_TRACE(L"l_wzProxy: " << l_wzProxy);

    // getline semantics: an empty entry before a ";" counts, a ";" at the
    // very end adds none
    std::wistringstream entries(l_wzProxy);
    std::wstring entry;
    while (std::getline(entries, entry, L';'))
    {
        const std::size_t equals = entry.find(L'=');
        const std::wstring protocol =
            equals == std::wstring::npos ? entry : entry.substr(0, equals);
        const std::wstring server = equals == std::wstring::npos ? entry : entry.substr(equals + 1);
        if (protocol == L"ftp")
        {
            QOR_LOG_TRACE("ftp");
        }
        else if (protocol == L"http")
        {
            QOR_LOG_TRACE("http");
        }
        else if (protocol == L"gopher")
        {
            QOR_LOG_TRACE("gopher");
        }
        else if (protocol == L"socks")
        {
            QOR_LOG_TRACE("socks");
        }
        else if (protocol == L"https")
        {
            proxy = server;
            QOR_LOG_INFO(L"HTTPS proxy server: " << server);
        }
        else
        {
            proxy = server;
            QOR_LOG_INFO(L"Shared proxy server: " << server);
        }
    }
    return true;
}

bool C_Proxy::storeCredentials(C_IniFileTools& ini, const std::wstring& login,
                               const std::wstring& password)
{
    using namespace ConfigKeys;
    const std::wstring scrambled =
        stringToWstring(scramblePassword(wstringToString(password, CP_ACP)));
    const bool loginStored = ini.setWstring(OWN_INI_FILE, SECTION_PROXY, KEY_USER_PROXY, login);
    const bool passwordStored =
        ini.setWstring(OWN_INI_FILE, SECTION_PROXY, KEY_PSWD_PROXY, scrambled);
    if (loginStored && passwordStored)
        return true;
    QOR_LOG_ERROR("Proxy credentials were not stored; this run uses the ones typed");
    // the pair goes together: a stored login with an old password would not work
    ini.keepForThisRun(OWN_INI_FILE, SECTION_PROXY, KEY_USER_PROXY, login);
    ini.keepForThisRun(OWN_INI_FILE, SECTION_PROXY, KEY_PSWD_PROXY, scrambled);
    return false;
}
