// What the library remembers between runs: per product and channel, the
// highest manifest serial it has accepted, so that an older (validly signed)
// manifest replayed by a mirror or an attacker is refused. The state lives in
// $XDG_STATE_HOME/pelvane/serials.json (else ~/.local/state/pelvane/),
// written atomically and readable by its owner only. A missing, unreadable or
// corrupt file counts as empty: it weakens the rollback check for one run but
// must never stop updates.
#pragma once

#include <cstdint>
#include <string>

namespace pelvane
{
class SerialStore
{
public:
    // Empty when neither XDG_STATE_HOME nor HOME is set.
    static std::string defaultPath();

    explicit SerialStore(std::string path) : m_path(std::move(path)) {}

    // 0 when nothing was accepted yet (or the file cannot be read).
    std::uint64_t highest(const std::string& product, const std::string& channel) const;
    // Raises the stored serial to `serial`; never lowers it. 0 or an errno.
    int record(const std::string& product, const std::string& channel, std::uint64_t serial) const;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};
} // namespace pelvane
