#include "pelvane/trust/SerialStore.h"

#include "pelvane/base/PelvaneLog.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/XdgFolder.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace pelvane
{
namespace
{
using nlohmann::json;
constexpr std::size_t MAX_STATE_BYTES = 1024U * 1024U;

std::string entryName(const std::string& product, const std::string& channel)
{
    return product + " " + channel;
}

// The stored object, or an empty one (logged) when the file is missing or bad.
json readState(const std::string& path)
{
    std::error_code error;
    if (path.empty() || !std::filesystem::exists(path, error))
    {
        return json::object();
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in)
    {
        text << in.rdbuf();
    }
    if (!in || text.str().size() > MAX_STATE_BYTES)
    {
        PELVANE_LOG_WARN("Serial state unreadable, treated as empty: " << path);
        return json::object();
    }
    json state = json::parse(text.str(), nullptr, false);
    if (state.is_discarded() || !state.is_object())
    {
        PELVANE_LOG_WARN("Serial state corrupt, treated as empty: " << path);
        return json::object();
    }
    return state;
}
} // namespace

std::string SerialStore::defaultPath()
{
    const std::string folder = xdgFolder("XDG_STATE_HOME", ".local/state");
    return folder.empty() ? std::string() : folder + "/pelvane/serials.json";
}

std::uint64_t SerialStore::highest(const std::string& product, const std::string& channel) const
{
    const json state = readState(m_path);
    const auto found = state.find(entryName(product, channel));
    if (found == state.end() || !found->is_number_unsigned())
    {
        return 0;
    }
    return found->get<std::uint64_t>();
}

int SerialStore::record(const std::string& product, const std::string& channel,
                        std::uint64_t serial) const
{
    if (m_path.empty())
    {
        return ENOENT;
    }
    json state = readState(m_path);
    const std::string name = entryName(product, channel);
    const auto found = state.find(name);
    if (found != state.end() && found->is_number_unsigned() &&
        found->get<std::uint64_t>() >= serial)
    {
        return 0;
    }
    state[name] = serial;
    const std::filesystem::path folder = std::filesystem::path(m_path).parent_path();
    std::error_code error;
    if (std::filesystem::create_directories(folder, error))
    {
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, error);
    }
    if (error)
    {
        return error.value();
    }
    return safefiles::writeFileAtomically(m_path, state.dump(1) + "\n", 0600);
}
} // namespace pelvane
