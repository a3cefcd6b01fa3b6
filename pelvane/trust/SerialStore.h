// What the library remembers between runs: per product and channel, the
// highest manifest serial it has accepted, so that an older (validly signed)
// manifest replayed by a mirror or an attacker is refused. The state lives in
// the state folder (XdgFolder.h) as serials.json, written atomically and
// readable by its owner only. A missing, unreadable or corrupt file counts
// as empty: it weakens the rollback check for one run but must never stop
// updates, nor cost more than its bounds: the file is not read beyond
// MAX_BYTES (its size is looked at first), not parsed deeper than MAX_DEPTH,
// and rewritten from the entries it holds, never from what else it held.
#pragma once

#include "pelvane/base/OnceFlag.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace pelvane
{
class SerialStore
{
public:
    static constexpr std::size_t MAX_BYTES = 1024U * 1024U;
    static constexpr std::size_t MAX_DEPTH = 4;
    // bounds of what is kept: a rewrite stays well within MAX_BYTES
    static constexpr std::size_t MAX_ENTRIES = 1024;
    static constexpr std::size_t MAX_NAME_BYTES = 640;
    static constexpr const char* FILE_NAME = "serials.json";

    // "<product> <channel>" -> the highest serial accepted
    using Entries = std::map<std::string, std::uint64_t, std::less<>>;

    // Empty when neither XDG_STATE_HOME nor HOME is set.
    static std::string defaultPath();

    explicit SerialStore(std::string path) : m_path(std::move(path)) {}

    // 0 when nothing was accepted yet (or the file cannot be read).
    std::uint64_t highest(const std::string& product, const std::string& channel) const;
    // Raises the stored serial to `serial`; never lowers it. 0 or an errno.
    int record(const std::string& product, const std::string& channel, std::uint64_t serial) const;

    const std::string& path() const { return m_path; }

    // The entries of a state file's text (those of another form are left
    // out); empty with `problem` set when the text is not a state file.
    static std::optional<Entries> parse(std::string_view text, std::string& problem);
    static std::string serialize(const Entries& entries);

private:
    // The stored entries, or none (logged once per run) when the file is bad.
    Entries read() const;

    std::string m_path;
    OnceFlag m_warning; // copies of the store are the same run's
};
} // namespace pelvane
