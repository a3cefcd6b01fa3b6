// The arguments of initUpdInterEx once checked. URL lists one or more base
// URLs (mirrors, separated by spaces, tried in order); below each the
// channel's objects lie where RepositoryLayout says.
#pragma once

#include "pelvane/net/HttpFetcher.h"
#include "pelvane/trust/RepositoryLayout.h"
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

    RepositoryLayout repository() const { return {productCode, application, language}; }
    // Extract/<version>
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
