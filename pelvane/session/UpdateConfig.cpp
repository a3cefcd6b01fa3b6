#include "pelvane/session/UpdateConfig.h"

#include "pelvane/files/ExtractLayout.h"
#include "pelvane/trust/ManifestSignature.h"

#include "updclient/PasswordScrambling.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace pelvane
{
namespace
{
constexpr std::size_t MAX_TEXT = 4096;
constexpr std::int32_t MAX_TIMEOUT_MS = 3600 * 1000;

bool readText(const char* value, std::size_t maxBytes, bool required, std::string& out)
{
    if (value == nullptr)
    {
        return false;
    }
    const std::size_t length = ::strnlen(value, maxBytes + 1);
    if (length > maxBytes || (required && length == 0))
    {
        return false;
    }
    out.assign(value, length);
    return true;
}

bool hasControlCharacters(const std::string& text)
{
    for (const char c : text)
    {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
        {
            return true;
        }
    }
    return false;
}

bool startsWithNoCase(const std::string& text, const char* prefix)
{
    const std::size_t length = std::strlen(prefix);
    return text.size() >= length && ::strncasecmp(text.c_str(), prefix, length) == 0;
}

std::filesystem::path normalised(const std::string& path)
{
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    std::filesystem::path result = std::filesystem::weakly_canonical(absolute, error);
    if (error)
    {
        result = absolute.lexically_normal();
    }
    std::string text = result.string();
    while (text.size() > 1 && text.back() == '/')
    {
        text.pop_back();
    }
    return text;
}

// true when `inner` is `outer` or lies below it
bool within(const std::filesystem::path& inner, const std::filesystem::path& outer)
{
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i)
    {
        if (i == inner.end() || *i != *o)
        {
            return false;
        }
    }
    return true;
}
} // namespace

std::string UpdateConfig::versionFolder(const VersionNumber& version) const
{
    return ExtractLayout::versionFolder(extract, version.text());
}

namespace
{
// The texts of initUpdInterEx, each within its bound; the ones the
// configuration does not keep as they are go to `texts`.
struct LooseTexts
{
    std::string userProxy;
    std::string pswdProxy;
    std::string notesPswd;
    std::string version;
    std::string urls;
};

bool readTexts(const InitArguments& a, UpdateConfig& config, LooseTexts& texts,
               std::string& problem)
{
    std::string reserved;
    struct Field
    {
        const char* name;
        const char* value;
        std::size_t maxBytes;
        bool required;
        std::string* out;
    };
    const Field fields[] = {
        {"Key", a.key, 1024, true, &config.pin},
        {"ProductCode", a.productCode, 256, true, &config.productCode},
        {"StatsURL", a.statsUrl, MAX_TEXT, false, &config.statsUrl},
        {"Extract", a.extract, MAX_TEXT, true, &config.extract},
        {"Target", a.target, MAX_TEXT, true, &config.target},
        {"FlagFile", a.flagFile, MAX_TEXT, false, &config.flagFile},
        {"UserProxy", a.userProxy, 1024, false, &texts.userProxy},
        {"PswdProxy", a.pswdProxy, 2048, false, &texts.pswdProxy},
        {"URL", a.url, MAX_TEXT, true, &texts.urls},
        {"NotesPswd", a.notesPswd, 1024, false, &texts.notesPswd},
        {"Application", a.application, 256, true, &config.application},
        {"Language", a.language, 64, true, &config.language},
        {"Version", a.version, 64, false, &texts.version},
        {"Reserved1", a.reserved1, MAX_TEXT, false, &reserved},
        {"Reserved2", a.reserved2, MAX_TEXT, false, &reserved},
    };
    for (const Field& field : fields)
    {
        if (!readText(field.value, field.maxBytes, field.required, *field.out))
        {
            problem = std::string(field.name) + " is missing, empty or too long";
            return false;
        }
    }
    for (const std::string* text : {&texts.urls, &config.statsUrl, &config.extract, &config.target,
                                    &config.flagFile, &texts.userProxy, &texts.notesPswd,
                                    &config.productCode, &config.application, &config.language})
    {
        if (hasControlCharacters(*text))
        {
            problem = "control character in an argument";
            return false;
        }
    }
    return true;
}

bool readMirrors(const std::string& urls, std::vector<std::string>& mirrors, std::string& problem)
{
    std::istringstream words(urls);
    for (std::string mirror; words >> mirror;)
    {
        if (!startsWithNoCase(mirror, "http://") && !startsWithNoCase(mirror, "https://") &&
            !startsWithNoCase(mirror, "file://"))
        {
            problem = "every URL must be http, https or file";
            return false;
        }
        while (!mirror.empty() && mirror.back() == '/')
        {
            mirror.pop_back();
        }
        mirrors.push_back(mirror);
    }
    if (mirrors.empty() || mirrors.size() > MAX_MIRRORS)
    {
        problem = "URL must list 1 to 8 base URLs";
        return false;
    }
    return true;
}

// Assembling Target would erase or swallow the downloads if Extract and
// Target overlapped.
bool foldersApart(const std::string& extractText, const std::string& targetText)
{
    const std::filesystem::path extract = normalised(extractText);
    const std::filesystem::path target = normalised(targetText);
    return extract != extract.root_path() && target != target.root_path() &&
           !within(extract, target) && !within(target, extract);
}
} // namespace

std::optional<UpdateConfig> makeUpdateConfig(const InitArguments& a, std::string& problem)
{
    UpdateConfig config;
    LooseTexts texts;
    if (!readTexts(a, config, texts, problem))
    {
        return std::nullopt;
    }
    if (!ManifestSignature::isPin(config.pin))
    {
        problem = "Key must be the pin of the publisher's public key (32 hex digits)";
        return std::nullopt;
    }
    for (char& c : config.pin)
    {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (!readMirrors(texts.urls, config.mirrors, problem))
    {
        return std::nullopt;
    }
    if (!config.statsUrl.empty() && !startsWithNoCase(config.statsUrl, "http://") &&
        !startsWithNoCase(config.statsUrl, "https://"))
    {
        problem = "StatsURL must be http or https";
        return std::nullopt;
    }
    if (!texts.version.empty())
    {
        config.installed = VersionNumber::parse(texts.version);
        if (!config.installed)
        {
            problem = "Version is not a dotted number";
            return std::nullopt;
        }
    }
    if (a.connectTimeoutMs <= 0 || a.connectTimeoutMs > MAX_TIMEOUT_MS || a.stallTimeoutMs <= 0 ||
        a.stallTimeoutMs > MAX_TIMEOUT_MS)
    {
        problem = "time-outs must be between 1 ms and one hour";
        return std::nullopt;
    }
    if (!foldersApart(config.extract, config.target))
    {
        problem = "Extract and Target must be distinct folders, neither inside the other";
        return std::nullopt;
    }
    config.keepArchives = a.keepArchives != 0;
    config.transfer.connectTimeoutMs = a.connectTimeoutMs;
    config.transfer.stallTimeoutMs = a.stallTimeoutMs;
    config.transfer.proxyUser = texts.userProxy;
    config.transfer.proxyPassword =
        texts.pswdProxy.empty() ? std::string() : unscramblePassword(texts.pswdProxy);
    config.transfer.serverUser = config.application;
    config.transfer.serverPassword = texts.notesPswd;
    config.transfer.limits = TransferLimits::fromEnvironment();
    return config;
}
} // namespace pelvane
