// Stand-in for the registry key of the user's Internet settings
// (HKCU\...\Internet Settings): the Linux proxy settings presented as the two
// values that proxy discovery reads, in the form Windows gives them.
//
//   "ProxyEnable" (number): 1 when a proxy is configured, else 0.
//   "ProxyServer" (text, only when a proxy is configured): either one
//       "host:port" for every protocol, or "http=host:port;https=host:port;
//       ftp=host:port;socks=host:port" with the configured protocols only.
//
// Sources, in order: the environment (http_proxy, https_proxy, ftp_proxy,
// all_proxy, each in lower or upper case; lower case wins when both are set,
// an empty variable counts as unset) and, only when none of them is set,
// GNOME's org.gnome.system.proxy in "manual" mode, read through GSettings when
// that schema is installed. Schemes and credentials are stripped from the
// addresses ("http://user:pw@h:3128/" gives "h:3128"); an address that is not
// a plain host and port is ignored.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace platform
{
// Registry-style result codes.
inline constexpr long PROXY_SETTINGS_SUCCESS = 0;
inline constexpr long PROXY_SETTINGS_NOT_FOUND = 2;   // ERROR_FILE_NOT_FOUND
inline constexpr long PROXY_SETTINGS_MORE_DATA = 234; // ERROR_MORE_DATA

class ProxySettings
{
public:
    // The values a test presents in place of the user's settings; a value
    // left empty is missing from the key.
    struct FixedValues
    {
        long openResult = PROXY_SETTINGS_SUCCESS;
        std::optional<unsigned long> proxyEnable;
        std::optional<std::wstring> proxyServer;
    };

    ProxySettings() = default;

    // Takes a snapshot of the settings. Returns PROXY_SETTINGS_SUCCESS, or
    // the fixed open result while a test has fixed the values.
    long open();
    // The same snapshot as it applies to a download from urls (mirrors
    // separated by blanks, the first one that goes through a proxy counts):
    // "ProxyEnable" is 1 only when the library will use a proxy for it
    // (proxyUrlForDestination), and "ProxyServer" makes discovery pick that
    // proxy: the whole list when it already would, else that one server
    // alone. Without urls, the same as open().
    long openFor(const std::string& urls);

    // Registry-style reads of the snapshot: PROXY_SETTINGS_NOT_FOUND for an
    // unknown or missing value.
    long queryNumber(const std::wstring& name, unsigned long& value) const;
    // Fails with PROXY_SETTINGS_MORE_DATA when the text and its terminator,
    // as UTF-16, take more than maxDataBytes; value is then unchanged.
    long queryText(const std::wstring& name, std::wstring& value, unsigned long maxDataBytes) const;

    // Test seam: while set, open() presents these values instead of the
    // user's settings. Never called by the program.
    static void fixValuesForTesting(const std::optional<FixedValues>& values);

private:
    std::map<std::wstring, unsigned long> m_numbers;
    std::map<std::wstring, std::wstring> m_texts;
};

// The proxy to use for a URL scheme ("http" or "https", any case), from the
// same sources as ProxySettings: the environment's <scheme>_proxy, else its
// all_proxy, as written there (scheme and credentials kept, "http://" added
// when it names no scheme); when no proxy variable is set at all, GNOME's
// manual setting for that protocol as "http://host:port". Empty when no
// proxy applies, for another scheme, or when the address is not usable.
// Safe to call from any thread.
std::string proxyUrlForScheme(const std::string& scheme);

// The proxy the update-client library uses for url: proxyUrlForScheme of
// its scheme, unless no_proxy (or NO_PROXY) covers its host the way libcurl
// reads it ("*", host names matching whole trailing labels, IP addresses
// and CIDR ranges). Empty when the download goes direct.
std::string proxyUrlForDestination(const std::string& url);

// True when the no_proxy list covers host (a name or an IP address).
bool noProxyCovers(const std::string& noProxyList, const std::string& host);

// "host:port" of a proxy address as the environment gives it, without
// scheme, credentials or path; empty when what is left is not a plain host
// (and port).
std::string proxyHostPort(const std::string& address);
} // namespace platform
