#include "workflow/FailureReason.h"

#include "config/ConfigKeys.h"
#include "resources/Translation.h"
#include "tools/UnicodeFile.h"
#include "updclient/UpdInterErrors.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>

namespace
{
namespace fs = std::filesystem;

constexpr std::int32_t HTTP_UNAUTHORIZED = 401;

std::string narrow(const std::wstring& text)
{
    return wstringToString(text, CP_ACP);
}

std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> list;
    std::istringstream in(text);
    for (std::string word; in >> word;)
    {
        list.push_back(word);
    }
    return list;
}

std::string joinedList(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
    {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

// a folder as the run resolves it: relative names against the working folder
std::string absolute(const std::wstring& folder)
{
    std::error_code error;
    const fs::path path = fs::absolute(fs::path(narrow(folder)), error);
    return error ? narrow(folder) : path.lexically_normal().string();
}

// the library's failures that concern what the update URL serves
bool concernsRepository(std::int32_t apiErrorCode)
{
    switch (apiErrorCode)
    {
    case updinter::API_NETWORK:
    case updinter::API_HTTP:
    case updinter::API_SERVER_AUTH:
    case updinter::API_SIGNATURE:
    case updinter::API_BAD_MANIFEST:
    case updinter::API_HASH:
    case updinter::API_EXPIRED:
    case updinter::API_ROLLBACK:
        return true;
    default:
        return false;
    }
}

bool isPlainHttp(const std::string& url)
{
    const std::string scheme = "http://";
    return url.size() >= scheme.size() &&
           std::equal(scheme.begin(), scheme.end(), url.begin(),
                      [](char a, char b)
                      { return a == std::tolower(static_cast<unsigned char>(b)); });
}

std::string withValue(std::string msgid, const std::string& value)
{
    const std::size_t at = msgid.find("%s");
    return at == std::string::npos ? msgid + value : msgid.replace(at, 2, value);
}
} // namespace

FailureReason::FailureReason(const RunFailure& failure, const std::string& phase,
                             const FailureContext& context)
    : m_reason(failure.step.empty() ? phase : failure.step)
{
    if (failure.hasLibraryCodes)
    {
        m_reason +=
            ": " + updinter::describeLibraryError(failure.apiErrorCode, failure.primaryErrorCode,
                                                  failure.secondaryErrorCode);
        addLibraryNotes(failure, context);
    }
    else if (!failure.detail.empty())
    {
        m_reason += ": " + failure.detail;
    }
    addMissingSettings();
}

void FailureReason::addLibraryNotes(const RunFailure& failure, const FailureContext& context)
{
    const std::int32_t code = failure.apiErrorCode;
    std::vector<std::string> urls;
    for (const std::string& url : words(narrow(context.urls)))
    {
        urls.push_back(hostAndPath(url));
    }
    if (concernsRepository(code) && !urls.empty())
    {
        m_notes.push_back(
            {urls.size() == 1 ? QOR_N_("URL %s") : QOR_N_("URLs %s"), joinedList(urls)});
    }
    if ((code == updinter::API_NETWORK || code == updinter::API_PROXY_AUTH) &&
        !context.proxy.empty())
    {
        m_notes.push_back({QOR_N_("proxy %s"), hostAndPath(narrow(context.proxy))});
    }
    if (code == updinter::API_SERVER_AUTH && failure.secondaryErrorCode == HTTP_UNAUTHORIZED)
    {
        for (const std::string& url : urls)
        {
            if (isPlainHttp(url))
            {
                // the library keeps NotesPswd off plain http, so such a
                // server never sees it
                m_notes.push_back(
                    {QOR_N_("the password is never sent over plain http: use an https URL"), ""});
                break;
            }
        }
    }
    if (code == updinter::API_DISK)
    {
        std::vector<std::string> folders;
        if (!context.extract.empty())
        {
            folders.push_back("Extract " + absolute(context.extract));
        }
        if (!context.target.empty())
        {
            folders.push_back("Target " + absolute(context.target));
        }
        if (!folders.empty())
        {
            m_notes.push_back({folders.size() == 1 ? QOR_N_("folder %s") : QOR_N_("folders %s"),
                               joinedList(folders)});
        }
    }
}

void FailureReason::addMissingSettings()
{
    std::vector<std::string> missing;
    for (const wchar_t* file : {ConfigKeys::OWN_INI_FILE, ConfigKeys::UPDINTER_INI_FILE})
    {
        std::wstring name(file);
        name.erase(0, name.find_last_of(L"\\/") + 1);
        std::error_code error;
        const fs::path path = fs::current_path(error) / narrow(name);
        if (!error && !fs::exists(path, error) && !error)
        {
            missing.push_back(path.string());
        }
    }
    if (!missing.empty())
    {
        m_notes.push_back({QOR_N_("missing settings: %s"), joinedList(missing)});
    }
}

std::string FailureReason::joined(bool translated) const
{
    std::string text = m_reason;
    for (const Note& note : m_notes)
    {
        text += "; " + (translated ? qorTrFormat(note.msgid, note.value)
                                   : withValue(note.msgid, note.value));
    }
    return text;
}

std::string FailureReason::text() const
{
    return joined(false);
}

std::string FailureReason::translatedText() const
{
    return joined(true);
}

std::string FailureReason::hostAndPath(const std::string& url)
{
    const std::size_t schemeEnd = url.find("://");
    const std::size_t authorityStart = schemeEnd == std::string::npos ? 0 : schemeEnd + 3;
    const std::size_t authorityEnd = url.find_first_of("/?#", authorityStart);
    const std::string authority = url.substr(authorityStart, authorityEnd - authorityStart);
    const std::size_t at = authority.rfind('@');
    std::string text = url.substr(0, authorityStart) +
                       (at == std::string::npos ? authority : authority.substr(at + 1));
    if (authorityEnd != std::string::npos)
    {
        const std::size_t pathEnd = url.find_first_of("?#", authorityEnd);
        text += url.substr(authorityEnd, pathEnd - authorityEnd);
    }
    return text;
}
