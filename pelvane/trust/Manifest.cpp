#include "pelvane/trust/Manifest.h"

#include "pelvane/base/JsonDepth.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <set>

namespace pelvane
{
namespace
{
using nlohmann::json;

bool isLowerHex(std::string_view text, std::size_t length)
{
    return text.size() == length &&
           std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool textField(const json& object, const char* name, std::string& out, std::size_t maxBytes)
{
    const auto found = object.find(name);
    if (found == object.end() || !found->is_string())
    {
        return false;
    }
    out = found->get<std::string>();
    return out.size() <= maxBytes;
}

bool parseFile(const json& item, ManifestFile& file, std::string& error)
{
    if (!item.is_object())
    {
        error = "file entry is not an object";
        return false;
    }
    if (!textField(item, "path", file.path, safefiles::MAX_PATH_BYTES) ||
        !safefiles::isSafeRelativePath(file.path))
    {
        error = "unsafe or missing file path";
        return false;
    }
    const auto size = item.find("size");
    if (size == item.end() || !size->is_number_unsigned() ||
        size->get<std::uint64_t>() > Manifest::MAX_FILE_SIZE)
    {
        error = "bad size of " + file.path;
        return false;
    }
    file.size = size->get<std::uint64_t>();
    if (!textField(item, "sha256", file.sha256, 64) || !isLowerHex(file.sha256, 64))
    {
        error = "bad sha256 of " + file.path;
        return false;
    }
    if (const auto chunks = item.find("chunks"); chunks != item.end())
    {
        ChunkIndexRef index;
        const bool isObject = chunks->is_object();
        const auto indexSize = isObject ? chunks->find("size") : chunks->end();
        if (!isObject || indexSize == chunks->end() || !indexSize->is_number_unsigned() ||
            indexSize->get<std::uint64_t>() > Manifest::MAX_FILE_SIZE ||
            !textField(*chunks, "sha256", index.sha256, 64) || !isLowerHex(index.sha256, 64))
        {
            error = "bad chunk index of " + file.path;
            return false;
        }
        index.size = indexSize->get<std::uint64_t>();
        file.chunks = std::move(index);
    }
    return true;
}

bool parseVersion(const json& item, ManifestVersion& version, std::string& error)
{
    if (!item.is_object())
    {
        error = "version entry is not an object";
        return false;
    }
    std::string text;
    if (!textField(item, "version", text, 64))
    {
        error = "missing version";
        return false;
    }
    auto number = VersionNumber::parse(text);
    if (!number)
    {
        error = "bad version number";
        return false;
    }
    version.number = *number;
    if (item.contains("notes") &&
        !textField(item, "notes", version.notes, Manifest::MAX_NOTES_BYTES))
    {
        error = "bad notes of " + text;
        return false;
    }
    const auto files = item.find("files");
    if (files == item.end() || !files->is_array() ||
        files->size() > Manifest::MAX_FILES_PER_VERSION)
    {
        error = "bad file list of " + text;
        return false;
    }
    std::set<std::string> paths;
    for (const json& entry : *files)
    {
        ManifestFile file;
        if (!parseFile(entry, file, error))
        {
            return false;
        }
        if (!paths.insert(file.path).second)
        {
            error = "duplicate path " + file.path;
            return false;
        }
        version.files.push_back(std::move(file));
    }
    // "a" as a file and "a/b" beside it cannot both exist on disk
    for (const std::string& path : paths)
    {
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
        {
            if (paths.count(path.substr(0, slash)) != 0)
            {
                error = "path is both a file and a folder: " + path.substr(0, slash);
                return false;
            }
        }
    }
    return true;
}
} // namespace

std::uint64_t ManifestVersion::totalSize() const
{
    std::uint64_t total = 0;
    for (const ManifestFile& file : files)
    {
        total += file.size;
    }
    return total;
}

std::optional<Manifest> Manifest::parse(std::string_view bytes, std::string& error)
{
    if (bytes.size() > MAX_BYTES)
    {
        error = "manifest too large";
        return std::nullopt;
    }
    if (!jsonNestingWithin(bytes, MAX_DEPTH))
    {
        error = "manifest nested too deeply";
        return std::nullopt;
    }
    const json root = json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (root.is_discarded() || !root.is_object())
    {
        error = "manifest is not a JSON object";
        return std::nullopt;
    }
    const auto format = root.find("format");
    if (format != root.end() && format->is_number_integer() &&
        format->get<int>() == OLD_SHARED_KEY_FORMAT)
    {
        error = "manifest format 1 (shared-key signature) is no longer accepted; republish the "
                "repository with a public-key qor-publish";
        return std::nullopt;
    }
    if (format == root.end() || !format->is_number_integer() || format->get<int>() != FORMAT)
    {
        error = "unknown manifest format";
        return std::nullopt;
    }
    Manifest manifest;
    const auto serial = root.find("serial");
    if (serial == root.end() || !serial->is_number_unsigned() || serial->get<std::uint64_t>() == 0)
    {
        error = "missing or bad serial";
        return std::nullopt;
    }
    manifest.m_serial = serial->get<std::uint64_t>();
    std::string expires;
    std::optional<std::int64_t> expiresAt;
    if (!textField(root, "expires", expires, 32) || !(expiresAt = parseUtc(expires)))
    {
        error = "missing or bad expiry (YYYY-MM-DDTHH:MM:SSZ)";
        return std::nullopt;
    }
    manifest.m_expires = *expiresAt;
    if (!textField(root, "product", manifest.m_product, 256) ||
        !textField(root, "channel", manifest.m_channel, 512))
    {
        error = "missing product or channel";
        return std::nullopt;
    }
    const auto versions = root.find("versions");
    if (versions == root.end() || !versions->is_array() || versions->size() > MAX_VERSIONS)
    {
        error = "bad version list";
        return std::nullopt;
    }
    for (const json& item : *versions)
    {
        ManifestVersion version;
        if (!parseVersion(item, version, error))
        {
            return std::nullopt;
        }
        if (manifest.find(version.number) != nullptr)
        {
            error = "duplicate version " + version.number.text();
            return std::nullopt;
        }
        manifest.put(std::move(version));
    }
    return manifest;
}

std::string Manifest::serialize() const
{
    json root = json::object();
    root["format"] = FORMAT;
    root["product"] = m_product;
    root["channel"] = m_channel;
    root["serial"] = m_serial;
    root["expires"] = formatUtc(m_expires);
    json versions = json::array();
    for (const ManifestVersion& version : m_versions)
    {
        json files = json::array();
        for (const ManifestFile& file : version.files)
        {
            json entry = {{"path", file.path}, {"size", file.size}, {"sha256", file.sha256}};
            if (file.chunks)
            {
                entry["chunks"] = {{"size", file.chunks->size}, {"sha256", file.chunks->sha256}};
            }
            files.push_back(std::move(entry));
        }
        versions.push_back(
            {{"version", version.number.text()}, {"notes", version.notes}, {"files", files}});
    }
    root["versions"] = versions;
    // invalid UTF-8 in notes is replaced instead of throwing
    return root.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

const ManifestVersion* Manifest::find(const VersionNumber& number) const
{
    for (const ManifestVersion& version : m_versions)
    {
        if (version.number == number)
        {
            return &version;
        }
    }
    return nullptr;
}

void Manifest::put(ManifestVersion version)
{
    for (ManifestVersion& existing : m_versions)
    {
        if (existing.number == version.number)
        {
            existing = std::move(version);
            return;
        }
    }
    const auto position = std::upper_bound(m_versions.begin(), m_versions.end(), version,
                                           [](const ManifestVersion& a, const ManifestVersion& b)
                                           { return a.number < b.number; });
    m_versions.insert(position, std::move(version));
}

std::optional<std::int64_t> Manifest::parseUtc(std::string_view text)
{
    // exactly YYYY-MM-DDTHH:MM:SSZ: one spelling per instant keeps signed bytes unambiguous
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z')
    {
        return std::nullopt;
    }
    const auto number = [&](std::size_t at, std::size_t length, int& out)
    {
        const char* begin = text.data() + at;
        const auto [end, problem] = std::from_chars(begin, begin + length, out);
        return problem == std::errc() && end == begin + length && *begin != '-' && *begin != '+';
    };
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!number(0, 4, year) || !number(5, 2, month) || !number(8, 2, day) || !number(11, 2, hour) ||
        !number(14, 2, minute) || !number(17, 2, second) || hour > 23 || minute > 59 || second > 59)
    {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year(year),
                                           std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok())
    {
        return std::nullopt;
    }
    const std::int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

std::string Manifest::formatUtc(std::int64_t secondsSinceEpoch)
{
    const std::int64_t dayNumber =
        secondsSinceEpoch >= 0 ? secondsSinceEpoch / 86400 : (secondsSinceEpoch - 86399) / 86400;
    const std::int64_t inDay = secondsSinceEpoch - dayNumber * 86400;
    const std::chrono::year_month_day date{
        std::chrono::sys_days(std::chrono::days(static_cast<int>(dayNumber)))};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(inDay / 3600),
                  static_cast<int>(inDay / 60 % 60), static_cast<int>(inDay % 60));
    return text;
}
} // namespace pelvane
