// The history objects of one channel in a repository folder (see
// ChannelHistory): read back and checked the way a client checks them, so
// that the publisher works on every version ever listed, and written again
// from that whole list when channel.qor is signed: the newest versions stay
// listed, older batches go to history objects. Objects that are already
// there and still hold the same versions after the same predecessors are
// kept as they are, so publishing adds an object now and then and never
// rewrites one; pruning, or replacing a version that has moved to the
// history, rewrites the objects from the first one that changed.
#pragma once

#include "pelvane/trust/ChannelHistory.h"
#include "pelvane/trust/RepositoryLayout.h"

#include <ostream>
#include <string>
#include <vector>

namespace publisher
{
class HistoryFiles
{
public:
    HistoryFiles(std::string repository, pelvane::RepositoryLayout layout, std::string product,
                 std::string channel);

    // Adds to `top` (as read from channel.qor) the versions of the chain it
    // names; "" or what is wrong with the chain.
    std::string read(pelvane::ChannelManifest& top);
    // Splits `all` (every version) into what channel.qor lists and history
    // objects, writes the objects that are new, and leaves in `all` only the
    // listed versions and the reference to the newest object. "" or why not.
    std::string write(pelvane::ChannelManifest& all, std::ostream& output);
    // Deletes the objects that the chain written last no longer holds (to be
    // called once the channel.qor naming that chain is in place).
    std::string removeUnused(std::ostream& output);

    // How many of the newest versions of `all` stay listed.
    static std::size_t listedCount(const std::vector<pelvane::ChannelVersion>& all);

private:
    struct Stored
    {
        pelvane::ObjectRef ref;
        std::vector<pelvane::ChannelVersion> versions;
    };

    std::string m_repository;
    pelvane::RepositoryLayout m_layout;
    std::string m_product;
    std::string m_channel;
    std::vector<Stored> m_chain; // oldest first, as read, then as written
};
} // namespace publisher
