// The channel.qor this client accepted last, with the validators (ETag,
// Last-Modified) of the mirror that served it, so that the next run can ask
// "changed since?" and, on a 304, believe the copy it holds, which is judged
// again like a fresh one. It lives in the library's state folder beside the
// serials:
//   $XDG_STATE_HOME/pelvane/channels/<16 hex of SHA-256("product\nchannel")>.qor
//   ... .meta   {"mirror", "etag", "lastModified", "sha256" of the .qor}
// (else ~/.local/state/...; folder 0700, files 0600, each written atomically).
// A missing, unreadable or mismatched pair counts as no cache: the run then
// fetches the top level unconditionally, nothing worse.
#pragma once

#include <optional>
#include <string>

namespace pelvane
{
class ChannelCache
{
public:
    // Bounds on what is read back.
    static constexpr std::size_t MAX_META_BYTES = 4096;
    static constexpr std::size_t MAX_VALIDATOR_BYTES = 1024;

    struct Entry
    {
        std::string bytes; // channel.qor as accepted
        std::string mirror;
        std::string etag;
        std::string lastModified;
    };

    // Empty when neither XDG_STATE_HOME nor HOME is set.
    static std::string defaultFolder();

    ChannelCache(const std::string& folder, const std::string& product, const std::string& channel);

    std::optional<Entry> read() const;
    // 0 or an errno.
    int write(const Entry& entry) const;
    void drop() const;

    const std::string& path() const { return m_path; }

private:
    std::string m_folder;
    std::string m_path; // the .qor; the record is m_path + ".meta"
};
} // namespace pelvane
