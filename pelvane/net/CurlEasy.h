// RAII owners of libcurl handles. libcurl is initialised once per process,
// before the first handle, and never cleaned up: the host program may use
// libcurl itself, and a library must not pull it from under it.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace pelvane
{
class CurlEasy
{
public:
    CurlEasy();
    CURL* get() const { return m_handle.get(); }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    struct Deleter
    {
        void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
    };
    std::unique_ptr<CURL, Deleter> m_handle;
};

class CurlMulti
{
public:
    CurlMulti();
    CURLM* get() const { return m_handle.get(); }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    struct Deleter
    {
        void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
    };
    std::unique_ptr<CURLM, Deleter> m_handle;
};

class CurlHeaderList
{
public:
    CurlHeaderList() = default;
    ~CurlHeaderList() { curl_slist_free_all(m_list); }
    CurlHeaderList(const CurlHeaderList&) = delete;
    CurlHeaderList& operator=(const CurlHeaderList&) = delete;
    bool add(const std::string& header);
    curl_slist* get() const { return m_list; }

private:
    curl_slist* m_list = nullptr;
};
} // namespace pelvane
