#include "platform/ProxySettings.h"

#include <arpa/inet.h>
#include <gio/gio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace platform
{
namespace
{
const std::wstring PROXY_ENABLE = L"ProxyEnable";
const std::wstring PROXY_SERVER = L"ProxyServer";

std::mutex s_fixedMutex;
std::optional<ProxySettings::FixedValues> s_fixedValues;

bool isAddressBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trimmedAddress(const std::string& text)
{
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && isAddressBlank(text[first]))
        ++first;
    while (last > first && isAddressBlank(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

// What may stand in a host and port: anything else (";", "=", blanks) would
// change the meaning of the Windows-form list it goes into.
bool isHostCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_' || c == ':' || c == '[' || c == ']' || c == '%' || c == '~';
}

bool isPlainHost(const std::string& text)
{
    if (text.empty())
        return false;
    for (const char c : text)
    {
        if (!isHostCharacter(c))
            return false;
    }
    return true;
}

std::string environmentValue(const char* lowerName, const char* upperName)
{
    const char* value = std::getenv(lowerName);
    if (value != nullptr && *value != '\0')
        return value;
    value = std::getenv(upperName);
    if (value != nullptr && *value != '\0')
        return value;
    return {};
}

struct EnvironmentProxies
{
    std::string http;
    std::string https;
    std::string ftp;
    std::string all;

    bool anySet() const { return !http.empty() || !https.empty() || !ftp.empty() || !all.empty(); }
};

EnvironmentProxies readEnvironment()
{
    EnvironmentProxies proxies;
    proxies.http = environmentValue("http_proxy", "HTTP_PROXY");
    proxies.https = environmentValue("https_proxy", "HTTPS_PROXY");
    proxies.ftp = environmentValue("ftp_proxy", "FTP_PROXY");
    proxies.all = environmentValue("all_proxy", "ALL_PROXY");
    return proxies;
}

// GNOME's manual proxy setting: host:port per protocol.
struct DesktopProxies
{
    std::map<std::string, std::string> hostPorts; // "http", "https", "ftp", "socks"
    bool useSameProxy = false;
};

struct GObjectUnref
{
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct SchemaUnref
{
    void operator()(GSettingsSchema* schema) const { g_settings_schema_unref(schema); }
};
struct GFree
{
    void operator()(gchar* text) const { g_free(text); }
};
using SettingsPtr = std::unique_ptr<GSettings, GObjectUnref>;
using SchemaPtr = std::unique_ptr<GSettingsSchema, SchemaUnref>;
using TextPtr = std::unique_ptr<gchar, GFree>;

// Looked up by hand so that a machine without GNOME's schemas (where
// g_settings_new would abort the process) simply has no desktop setting.
SchemaPtr lookupSchema(const char* id)
{
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    if (source == nullptr)
        return SchemaPtr();
    return SchemaPtr(g_settings_schema_source_lookup(source, id, TRUE));
}

std::string readText(GSettings* settings, GSettingsSchema* schema, const char* key)
{
    if (!g_settings_schema_has_key(schema, key))
        return {};
    const TextPtr text(g_settings_get_string(settings, key));
    return text ? std::string(text.get()) : std::string();
}

std::string desktopHostPort(const char* schemaId)
{
    const SchemaPtr schema = lookupSchema(schemaId);
    if (!schema || !g_settings_schema_has_key(schema.get(), "host") ||
        !g_settings_schema_has_key(schema.get(), "port"))
    {
        return {};
    }
    const SettingsPtr settings(g_settings_new_full(schema.get(), nullptr, nullptr));
    std::string host = trimmedAddress(readText(settings.get(), schema.get(), "host"));
    const int port = g_settings_get_int(settings.get(), "port");
    if (host.find(':') != std::string::npos && host.front() != '[')
        host = "[" + host + "]"; // IPv6 address
    if (port > 0)
        host += ":" + std::to_string(port);
    return isPlainHost(host) ? host : std::string();
}

std::optional<DesktopProxies> readDesktop()
{
    const SchemaPtr schema = lookupSchema("org.gnome.system.proxy");
    if (!schema)
        return std::nullopt;
    const SettingsPtr settings(g_settings_new_full(schema.get(), nullptr, nullptr));
    if (readText(settings.get(), schema.get(), "mode") != "manual")
        return std::nullopt;

    DesktopProxies proxies;
    if (g_settings_schema_has_key(schema.get(), "use-same-proxy"))
        proxies.useSameProxy = g_settings_get_boolean(settings.get(), "use-same-proxy") != FALSE;
    for (const char* protocol : {"http", "https", "ftp", "socks"})
    {
        const std::string hostPort =
            desktopHostPort((std::string("org.gnome.system.proxy.") + protocol).c_str());
        if (!hostPort.empty())
            proxies.hostPorts[protocol] = hostPort;
    }
    return proxies;
}

std::string entryOf(const std::map<std::string, std::string>& hostPorts,
                    const std::string& protocol)
{
    const auto found = hostPorts.find(protocol);
    return found == hostPorts.end() ? std::string() : found->second;
}

// GNOME keeps "use-same-proxy" true by default even where the settings panel
// fills every protocol, so it only counts while the other protocols are not
// set to something else.
bool desktopSharesHttp(const DesktopProxies& proxies)
{
    const std::string http = entryOf(proxies.hostPorts, "http");
    if (!proxies.useSameProxy || http.empty())
        return false;
    for (const char* protocol : {"https", "ftp"})
    {
        const std::string other = entryOf(proxies.hostPorts, protocol);
        if (!other.empty() && other != http)
            return false;
    }
    return true;
}

std::string joinList(const std::vector<std::pair<std::string, std::string>>& entries)
{
    std::string list;
    for (const auto& [protocol, hostPort] : entries)
    {
        if (hostPort.empty())
            continue;
        if (!list.empty())
            list += ";";
        list += protocol + "=" + hostPort;
    }
    return list;
}

// The Windows form of the user's proxy setting, empty when there is none.
std::string windowsProxyServer()
{
    const EnvironmentProxies environment = readEnvironment();
    if (environment.anySet())
    {
        const std::string all = proxyHostPort(environment.all);
        if (environment.http.empty() && environment.https.empty() && environment.ftp.empty())
            return all;
        const auto hostPortOr = [&all](const std::string& own)
        { return own.empty() ? all : proxyHostPort(own); };
        return joinList({{"http", hostPortOr(environment.http)},
                         {"https", hostPortOr(environment.https)},
                         {"ftp", hostPortOr(environment.ftp)}});
    }
    const std::optional<DesktopProxies> desktop = readDesktop();
    if (!desktop)
        return {};
    if (desktopSharesHttp(*desktop))
        return entryOf(desktop->hostPorts, "http");
    return joinList({{"http", entryOf(desktop->hostPorts, "http")},
                     {"https", entryOf(desktop->hostPorts, "https")},
                     {"ftp", entryOf(desktop->hostPorts, "ftp")},
                     {"socks", entryOf(desktop->hostPorts, "socks")}});
}

// The server that discovery takes from a list made here: the one shared
// server, else the https entry; empty when it would take none.
std::string discoveredServer(const std::string& list)
{
    if (list.find('=') == std::string::npos)
        return list;
    std::size_t start = 0;
    while (start <= list.size())
    {
        const std::size_t end = std::min(list.find(';', start), list.size());
        const std::string entry = list.substr(start, end - start);
        if (entry.rfind("https=", 0) == 0)
            return entry.substr(6);
        start = end + 1;
    }
    return {};
}

// The words of a list separated by blanks (and by commas too when asked).
std::vector<std::string> listWords(const std::string& text, bool commas)
{
    std::vector<std::string> words;
    std::string word;
    for (const char c : text + " ")
    {
        if (isAddressBlank(c) || (commas && c == ','))
        {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        }
        else
        {
            word.push_back(c);
        }
    }
    return words;
}

std::string lowerCase(std::string text)
{
    for (char& c : text)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

// The host of a URL, lower case, without brackets, port or a final dot.
std::string urlHost(const std::string& url)
{
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos)
        return {};
    const std::size_t start = schemeEnd + 3;
    std::string host = url.substr(start, url.find_first_of("/?#", start) - start);
    const std::size_t credentialsEnd = host.rfind('@');
    if (credentialsEnd != std::string::npos)
        host.erase(0, credentialsEnd + 1);
    if (!host.empty() && host.front() == '[')
        host = host.substr(1, host.find(']') - 1);
    else
        host = host.substr(0, host.find(':'));
    if (!host.empty() && host.back() == '.')
        host.pop_back();
    return lowerCase(host);
}

// An IPv4 or IPv6 address in binary; its family, or 0 for a host name.
int parseAddress(const std::string& text, unsigned char (&address)[16])
{
    if (::inet_pton(AF_INET, text.c_str(), address) == 1)
        return AF_INET;
    if (::inet_pton(AF_INET6, text.c_str(), address) == 1)
        return AF_INET6;
    return 0;
}

bool samePrefix(const unsigned char* a, const unsigned char* b, unsigned int bits)
{
    const unsigned int bytes = bits / 8;
    if (std::memcmp(a, b, bytes) != 0)
        return false;
    const unsigned int rest = bits % 8;
    const auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
    return rest == 0 || (a[bytes] & mask) == (b[bytes] & mask);
}

// An address entry of no_proxy ("10.0.0.0/8", "::1", "[::1]") against an address.
bool addressEntryCovers(std::string entry, int family, const unsigned char (&host)[16])
{
    const unsigned int length = family == AF_INET ? 32 : 128;
    unsigned int bits = length;
    const std::size_t slash = entry.find('/');
    if (slash != std::string::npos)
    {
        const std::string count = entry.substr(slash + 1);
        entry.resize(slash);
        if (count.empty() || count.size() > 3 ||
            count.find_first_not_of("0123456789") != std::string::npos ||
            static_cast<unsigned int>(std::stoi(count)) > length)
            return false;
        bits = static_cast<unsigned int>(std::stoi(count));
    }
    if (entry.size() >= 2 && entry.front() == '[' && entry.back() == ']')
        entry = entry.substr(1, entry.size() - 2);
    unsigned char address[16] = {};
    return parseAddress(entry, address) == family && samePrefix(address, host, bits);
}

std::size_t utf16DataBytes(const std::wstring& text)
{
    std::size_t units = 1; // the terminator
    for (const wchar_t c : text)
        units += static_cast<std::uint32_t>(c) > 0xFFFFu ? 2 : 1;
    return units * 2;
}
} // namespace

std::string proxyHostPort(const std::string& address)
{
    std::string rest = trimmedAddress(address);
    const std::size_t schemeEnd = rest.find("://");
    if (schemeEnd != std::string::npos)
        rest = rest.substr(schemeEnd + 3);
    const std::size_t pathStart = rest.find_first_of("/?#");
    if (pathStart != std::string::npos)
        rest.resize(pathStart);
    const std::size_t credentialsEnd = rest.rfind('@');
    if (credentialsEnd != std::string::npos)
        rest = rest.substr(credentialsEnd + 1);
    return isPlainHost(rest) ? rest : std::string();
}

long ProxySettings::open()
{
    m_numbers.clear();
    m_texts.clear();
    {
        const std::lock_guard<std::mutex> lock(s_fixedMutex);
        if (s_fixedValues)
        {
            if (s_fixedValues->proxyEnable)
                m_numbers[PROXY_ENABLE] = *s_fixedValues->proxyEnable;
            if (s_fixedValues->proxyServer)
                m_texts[PROXY_SERVER] = *s_fixedValues->proxyServer;
            return s_fixedValues->openResult;
        }
    }
    const std::string server = windowsProxyServer();
    m_numbers[PROXY_ENABLE] = server.empty() ? 0 : 1;
    if (!server.empty())
        m_texts[PROXY_SERVER] = std::wstring(server.begin(), server.end()); // ASCII only
    return PROXY_SETTINGS_SUCCESS;
}

long ProxySettings::openFor(const std::string& urls)
{
    const std::vector<std::string> mirrors = listWords(urls, false);
    bool fixed = false;
    {
        const std::lock_guard<std::mutex> lock(s_fixedMutex);
        fixed = s_fixedValues.has_value();
    }
    if (mirrors.empty() || fixed)
        return open();
    m_numbers.clear();
    m_texts.clear();
    std::string chosen;
    for (const std::string& mirror : mirrors)
    {
        chosen = proxyHostPort(proxyUrlForDestination(mirror));
        if (!chosen.empty())
            break;
    }
    m_numbers[PROXY_ENABLE] = chosen.empty() ? 0 : 1;
    if (!chosen.empty())
    {
        const std::string list = windowsProxyServer();
        const std::string server = discoveredServer(list) == chosen ? list : chosen;
        m_texts[PROXY_SERVER] = std::wstring(server.begin(), server.end()); // ASCII only
    }
    return PROXY_SETTINGS_SUCCESS;
}

long ProxySettings::queryNumber(const std::wstring& name, unsigned long& value) const
{
    const auto found = m_numbers.find(name);
    if (found == m_numbers.end())
        return PROXY_SETTINGS_NOT_FOUND;
    value = found->second;
    return PROXY_SETTINGS_SUCCESS;
}

long ProxySettings::queryText(const std::wstring& name, std::wstring& value,
                              unsigned long maxDataBytes) const
{
    const auto found = m_texts.find(name);
    if (found == m_texts.end())
        return PROXY_SETTINGS_NOT_FOUND;
    if (utf16DataBytes(found->second) > maxDataBytes)
        return PROXY_SETTINGS_MORE_DATA;
    value = found->second;
    return PROXY_SETTINGS_SUCCESS;
}

void ProxySettings::fixValuesForTesting(const std::optional<FixedValues>& values)
{
    const std::lock_guard<std::mutex> lock(s_fixedMutex);
    s_fixedValues = values;
}

std::string proxyUrlForScheme(const std::string& scheme)
{
    std::string protocol;
    for (const char c : scheme)
        protocol.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
    if (protocol != "http" && protocol != "https")
        return {};

    const EnvironmentProxies environment = readEnvironment();
    if (environment.anySet())
    {
        const std::string& own = protocol == "https" ? environment.https : environment.http;
        const std::string address = trimmedAddress(own.empty() ? environment.all : own);
        if (proxyHostPort(address).empty())
            return {};
        return address.find("://") == std::string::npos ? "http://" + address : address;
    }
    const std::optional<DesktopProxies> desktop = readDesktop();
    if (!desktop)
        return {};
    const std::string hostPort = desktopSharesHttp(*desktop)
                                     ? entryOf(desktop->hostPorts, "http")
                                     : entryOf(desktop->hostPorts, protocol);
    return hostPort.empty() ? std::string() : "http://" + hostPort;
}
} // namespace platform

namespace platform
{
bool noProxyCovers(const std::string& noProxyList, const std::string& host)
{
    if (trimmedAddress(noProxyList) == "*")
        return true;
    std::string name = lowerCase(host);
    if (!name.empty() && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    unsigned char address[16] = {};
    const int family = parseAddress(name, address);
    for (std::string entry : listWords(noProxyList, true))
    {
        if (family != 0)
        {
            if (addressEntryCovers(entry, family, address))
                return true;
            continue;
        }
        entry = lowerCase(entry);
        if (entry.front() == '.')
            entry.erase(0, 1);
        if (!entry.empty() && entry.back() == '.')
            entry.pop_back();
        if (entry.empty())
            continue;
        if (name == entry || (name.size() > entry.size() &&
                              name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
                              name[name.size() - entry.size() - 1] == '.'))
            return true;
    }
    return false;
}

std::string proxyUrlForDestination(const std::string& url)
{
    const std::size_t colon = url.find("://");
    if (colon == std::string::npos)
        return {};
    const std::string proxy = proxyUrlForScheme(url.substr(0, colon));
    if (proxy.empty())
        return {};
    const std::string noProxy = environmentValue("no_proxy", "NO_PROXY");
    return noProxy.empty() || !noProxyCovers(noProxy, urlHost(url)) ? proxy : std::string();
}
} // namespace platform
