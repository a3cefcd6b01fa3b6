// history/<sha256>.json.zst: the entries that channel.qor no longer lists,
// so that the signed top level stays small however many versions were ever
// published. Each object holds a batch of older entries and names the
// object before it by size and SHA-256; channel.qor names the newest, so the
// signature covers the whole chain. Objects are written once and never
// change (their name is their hash); only pruning rewrites the chain.
//
// HistoryChain walks a chain from the newest object back, one object at a
// time as the caller brings its bytes, and refuses anything that is not
// what the link before it names, breaks a bound, or is not strictly older
// than what came before (which also rules out a loop).
#pragma once

#include "pelvane/trust/ChannelManifest.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace pelvane
{
struct HistoryObject
{
    std::vector<ChannelVersion> versions; // ascending
    std::optional<ObjectRef> previous;    // the object of the entries before these
};

class ChannelHistory
{
public:
    // channel.qor lists at least the newest LISTED versions; once LISTED more
    // are older than those (and older than the newest complete version,
    // which stays listed so that clients that know no history still start
    // their runs right), they move to a new history object together.
    static constexpr std::size_t LISTED = 32;
    // Per object: compressed, and decompressed.
    static constexpr std::size_t MAX_OBJECT_BYTES = ChannelManifest::MAX_HISTORY_BYTES;
    static constexpr std::size_t MAX_OBJECT_VERSIONS = ChannelManifest::MAX_VERSIONS;
    // Per chain.
    static constexpr std::size_t MAX_CHAIN_OBJECTS = 1024;
    static constexpr std::size_t MAX_CHAIN_VERSIONS = 32768;
    static constexpr std::size_t MAX_DEPTH = 16;
    static constexpr int COMPRESSION_LEVEL = 19;

    static std::string encode(const std::string& product, const std::string& channel,
                              const HistoryObject& object);
    // Empty with `error` set when the bytes are no history object of this
    // product and channel.
    static std::optional<HistoryObject> decode(std::string_view compressed,
                                               const std::string& product,
                                               const std::string& channel, std::string& error);
};

class HistoryChain
{
public:
    // The chain that `top` names; its versions are the newest known.
    HistoryChain(std::string product, std::string channel, const ChannelManifest& top);

    // The object to bring next; empty once the chain has ended.
    const std::optional<ObjectRef>& next() const { return m_next; }
    // The bytes of next(). False with `problem` set, and nothing taken, when
    // they are not the object named or break a rule of the chain.
    bool take(std::string_view compressed, std::string& problem);

    // The oldest version known so far (the top level's included), if any.
    const std::optional<VersionNumber>& oldest() const { return m_oldest; }
    // The versions taken, ascending (all older than the top level's); the
    // chain holds none afterwards.
    std::vector<ChannelVersion> releaseVersions();
    // The objects taken so far, newest first, with how many versions each held.
    struct Link
    {
        ObjectRef ref;
        std::size_t versions = 0;
    };
    const std::vector<Link>& links() const { return m_links; }

private:
    std::string m_product;
    std::string m_channel;
    std::optional<ObjectRef> m_next;
    std::optional<VersionNumber> m_oldest; // of everything known so far
    std::vector<std::vector<ChannelVersion>> m_batches; // newest first
    std::size_t m_versionCount = 0;
    std::vector<Link> m_links;
    std::set<std::string> m_seen;
};
} // namespace pelvane
