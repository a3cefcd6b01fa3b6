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
} // namespace pelvane
