#include "pelvane/net/CurlEasy.h"

#include <mutex>

namespace pelvane
{
namespace
{
void initialiseCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}
} // namespace

CurlEasy::CurlEasy()
{
    initialiseCurlOnce();
    m_handle.reset(curl_easy_init());
}

CurlMulti::CurlMulti()
{
    initialiseCurlOnce();
    m_handle.reset(curl_multi_init());
}

bool CurlHeaderList::add(const std::string& header)
{
    curl_slist* extended = curl_slist_append(m_list, header.c_str());
    if (extended == nullptr)
    {
        return false;
    }
    m_list = extended;
    return true;
}

std::string escapeUrlComponent(const std::string& text)
{
    initialiseCurlOnce();
    // libcurl ignores the handle here, so no handle is made per path part
    char* escaped = curl_easy_escape(nullptr, text.c_str(), static_cast<int>(text.size()));
    if (escaped == nullptr)
    {
        return {};
    }
    std::string result = escaped;
    curl_free(escaped);
    return result;
}
} // namespace pelvane
