#include "config/ServerPasswordScope.h"

#include <algorithm>
#include <cwctype>
#include <sstream>

namespace ServerPasswordScope
{
namespace
{
std::wstring hostOf(const std::wstring& url)
{
    const std::size_t scheme = url.find(L"://");
    std::wstring rest = scheme == std::wstring::npos ? url : url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of(L"/?#"));
    const std::size_t at = rest.rfind(L'@');
    if (at != std::wstring::npos)
    {
        rest = rest.substr(at + 1);
    }
    if (!rest.empty() && rest.front() == L'[')
    {
        rest = rest.substr(0, rest.find(L']') + 1);
    }
    else
    {
        rest = rest.substr(0, rest.find(L':'));
    }
    std::transform(rest.begin(), rest.end(), rest.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))); });
    return rest;
}
} // namespace

std::vector<std::wstring> hostsOf(const std::wstring& urls)
{
    std::vector<std::wstring> hosts;
    std::wistringstream words(urls);
    for (std::wstring url; words >> url;)
    {
        hosts.push_back(hostOf(url));
    }
    return hosts;
}

std::vector<std::wstring> foreignHosts(const std::wstring& urls, const std::wstring& allowedUrls)
{
    const std::vector<std::wstring> allowed = hostsOf(allowedUrls);
    std::vector<std::wstring> foreign;
    for (const std::wstring& host : hostsOf(urls))
    {
        if (std::find(allowed.begin(), allowed.end(), host) == allowed.end() &&
            std::find(foreign.begin(), foreign.end(), host) == foreign.end())
        {
            foreign.push_back(host);
        }
    }
    return foreign;
}
} // namespace ServerPasswordScope
