#include "pelvane/trust/SerialStore.h"

#include "pelvane/base/JsonDepth.h"
#include "pelvane/base/PelvaneLog.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/XdgFolder.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pelvane
{
namespace
{
using nlohmann::json;

std::string entryName(const std::string& product, const std::string& channel)
{
    return product + " " + channel;
}

// A name that is written back as it is read: printable, nothing to escape.
bool plainName(std::string_view name)
{
    return !name.empty() && name.size() <= SerialStore::MAX_NAME_BYTES &&
           std::none_of(name.begin(), name.end(),
                        [](char c)
                        { return static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\'; });
}
} // namespace

std::string SerialStore::defaultPath()
{
    const std::string folder = stateFolder();
    return folder.empty() ? std::string() : folder + "/" + FILE_NAME;
}

std::optional<SerialStore::Entries> SerialStore::parse(std::string_view text, std::string& problem)
{
    if (text.size() > MAX_BYTES)
    {
        problem = "larger than " + std::to_string(MAX_BYTES) + " bytes";
        return std::nullopt;
    }
    if (!jsonNestingWithin(text, MAX_DEPTH))
    {
        problem = "nested deeper than " + std::to_string(MAX_DEPTH);
        return std::nullopt;
    }
    const json state = json::parse(text.begin(), text.end(), nullptr, false);
    if (state.is_discarded() || !state.is_object())
    {
        problem = "not a JSON object";
        return std::nullopt;
    }
    Entries entries;
    for (const auto& [name, value] : state.items())
    {
        if (entries.size() >= MAX_ENTRIES)
        {
            break;
        }
        if (value.is_number_unsigned() && plainName(name))
        {
            entries.emplace(name, value.get<std::uint64_t>());
        }
    }
    return entries;
}

std::string SerialStore::serialize(const Entries& entries)
{
    json state = json::object();
    for (const auto& [name, serial] : entries)
    {
        state[name] = serial;
    }
    return state.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

SerialStore::Entries SerialStore::read() const
{
    if (m_path.empty())
    {
        return {};
    }
    std::string text;
    const int error = safefiles::readSmallFile(m_path, text, MAX_BYTES);
    if (error == ENOENT)
    {
        return {};
    }
    std::string problem;
    std::optional<Entries> entries;
    if (error == EFBIG)
    {
        problem = "larger than " + std::to_string(MAX_BYTES) + " bytes";
    }
    else if (error != 0)
    {
        problem = std::strerror(error);
    }
    else
    {
        entries = parse(text, problem);
    }
    if (!entries)
    {
        if (m_warning.first())
        {
            PELVANE_LOG_WARN("Serial state corrupt, treated as empty: " << m_path << " ("
                                                                        << problem << ")");
        }
        return {};
    }
    return *std::move(entries);
}

std::uint64_t SerialStore::highest(const std::string& product, const std::string& channel) const
{
    const Entries entries = read();
    const auto found = entries.find(entryName(product, channel));
    return found == entries.end() ? 0 : found->second;
}

int SerialStore::record(const std::string& product, const std::string& channel,
                        std::uint64_t serial) const
{
    if (m_path.empty())
    {
        return ENOENT;
    }
    Entries entries = read();
    const std::string name = entryName(product, channel);
    const auto found = entries.find(name);
    if (found != entries.end() && found->second >= serial)
    {
        return 0;
    }
    if (found == entries.end() && entries.size() >= MAX_ENTRIES)
    {
        entries.erase(entries.begin()); // ours matters more than one of a thousand others
    }
    entries[name] = serial;
    const std::size_t slash = m_path.rfind('/');
    if (slash != std::string::npos && slash > 0)
    {
        if (const int error = makeStateFolder(m_path.substr(0, slash)))
        {
            return error;
        }
    }
    return safefiles::writeFileAtomically(m_path, serialize(entries), 0600);
}
} // namespace pelvane
