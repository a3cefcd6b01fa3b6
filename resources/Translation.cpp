#include "resources/Translation.h"

#include "platform/ExecutablePath.h"
#include "platform/TextCodec.h"

#include <cstdlib>
#include <filesystem>
#include <libintl.h>
#include <map>
#include <mutex>

namespace
{
constexpr const char* DOMAIN = "qordownloader";

// Binds the domain once, on first use: by then main has set the locale.
void bindDomain()
{
    static std::once_flag once;
    std::call_once(once,
                   []
                   {
                       const std::string folder = Translation::catalogFolder();
                       ::bindtextdomain(DOMAIN, folder.c_str());
                       // the toolkit gets wide text and the console UTF-8, whatever the locale
                       ::bind_textdomain_codeset(DOMAIN, "UTF-8");
                   });
}
} // namespace

std::string Translation::catalogFolder()
{
    if (const char* fromEnvironment = std::getenv("QORDOWNLOADER_LOCALEDIR");
        fromEnvironment != nullptr && *fromEnvironment != '\0')
    {
        return fromEnvironment;
    }
    std::string program;
    if (platform::TextCodec::encodePath(platform::ExecutablePath::get(), program) &&
        !program.empty())
    {
        namespace fs = std::filesystem;
        const fs::path beside = fs::path(program).parent_path().parent_path() / "share" / "locale";
        std::error_code error;
        if (fs::is_directory(beside, error))
        {
            return beside.string();
        }
    }
    return QOR_INSTALL_LOCALEDIR;
}

const char* Translation::text(const char* msgid)
{
    if (msgid == nullptr || *msgid == '\0')
    {
        return msgid; // gettext("") would answer the catalog's header
    }
    bindDomain();
    return ::dgettext(DOMAIN, msgid);
}

std::wstring_view Translation::wideText(const char* msgid)
{
    const char* translated = text(msgid);
    if (translated == nullptr)
    {
        return {};
    }
    // gettext hands out pointers into catalogs it never unloads (or msgid,
    // a literal), so the pointer names one text for good
    static std::mutex mutex;
    static std::map<const char*, std::wstring> wide;
    const std::lock_guard<std::mutex> lock(mutex);
    auto found = wide.find(translated);
    if (found == wide.end())
    {
        found = wide.emplace(translated, platform::TextCodec::decode(translated, "UTF-8")).first;
    }
    return found->second;
}
