// The arguments of initUpdInterEx once checked, and the repository layout
// derived from them, below each mirror (URL lists one or more base URLs,
// separated by spaces, tried in order):
//   <mirror>/<ProductCode>/<Application>/<Language>/manifest.json (+ .sig)
//   <mirror>/<ProductCode>/<Application>/<Language>/<version>/<path>
#pragma once

#include "pelvane/net/HttpFetcher.h"
#include "pelvane/trust/VersionNumber.h"

#include <optional>
#include <string>
#include <vector>

namespace pelvane
{
inline constexpr std::size_t MAX_MIRRORS = 8;

struct UpdateConfig
{
    std::string pin; // lowercase hex pin of the publisher's public key
    std::string productCode;
    std::string statsUrl;
    bool keepArchives = true;
    std::string extract;
    std::string target;
    std::string flagFile;
    std::vector<std::string> mirrors; // base URLs without a trailing '/'
    std::string application;
    std::string language;
    std::optional<VersionNumber> installed; // empty: nothing installed yet
    TransferSettings transfer;

    std::string channelUrl(const std::string& mirror) const;
    std::string manifestUrl(const std::string& mirror) const;
    std::string fileUrl(const std::string& mirror, const VersionNumber& version,
                        const std::string& path) const;
    std::string versionFolder(const VersionNumber& version) const;
    std::string channelName() const { return application + "/" + language; }
};

struct InitArguments
{
    const char* key;
    const char* productCode;
    const char* statsUrl;
    std::int32_t keepArchives;
    const char* extract;
    const char* target;
    const char* flagFile;
    const char* userProxy;
    const char* pswdProxy;
    const char* url;
    const char* notesPswd;
    const char* application;
    const char* language;
    const char* version;
    std::int32_t connectTimeoutMs;
    std::int32_t stallTimeoutMs;
    const char* reserved1;
    const char* reserved2;
};

// Empty with `problem` set when an argument is missing, too long or unsafe.
std::optional<UpdateConfig> makeUpdateConfig(const InitArguments& arguments, std::string& problem);
} // namespace pelvane
