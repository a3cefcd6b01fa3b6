#include "pelvane/trust/ChannelHistory.h"

#include "pelvane/base/Sha256.h"
#include "pelvane/trust/JsonFields.h"

namespace pelvane
{
namespace
{
using nlohmann::json;
namespace field = jsonfields;
} // namespace

std::string ChannelHistory::encode(const std::string& product, const std::string& channel,
                                   const HistoryObject& object)
{
    json root = {{"format", ChannelManifest::FORMAT},
                 {"product", product},
                 {"channel", channel},
                 {"versions", ChannelManifest::serializeVersions(object.versions)}};
    if (object.previous)
    {
        root["previous"] = {{"size", object.previous->size}, {"sha256", object.previous->sha256}};
    }
    return field::compress(root.dump(-1, ' ', false, json::error_handler_t::replace) + "\n",
                           COMPRESSION_LEVEL);
}

std::optional<HistoryObject> ChannelHistory::decode(std::string_view compressed,
                                                    const std::string& product,
                                                    const std::string& channel, std::string& error)
{
    const std::optional<std::string> text =
        field::decompress(compressed, MAX_OBJECT_BYTES, "history object", error);
    if (!text)
    {
        return std::nullopt;
    }
    const json root = field::parseObject(*text, MAX_OBJECT_BYTES, MAX_DEPTH, "history object", error);
    if (root.is_discarded())
    {
        return std::nullopt;
    }
    std::string ownProduct;
    std::string ownChannel;
    if (field::formatOf(root) != ChannelManifest::FORMAT ||
        !field::text(root, "product", ownProduct, 256) ||
        !field::text(root, "channel", ownChannel, 512))
    {
        error = "unknown history format, or no product or channel";
        return std::nullopt;
    }
    if (ownProduct != product || ownChannel != channel)
    {
        error = "it is the history of " + ownProduct + " " + ownChannel;
        return std::nullopt;
    }
    HistoryObject object;
    const auto versions = root.find("versions");
    if (versions == root.end() ||
        !ChannelManifest::parseVersions(*versions, MAX_OBJECT_VERSIONS, object.versions, error))
    {
        error = versions == root.end() ? "bad version list" : error;
        return std::nullopt;
    }
    if (object.versions.empty())
    {
        error = "it holds no version";
        return std::nullopt;
    }
    if (!field::optionalObjectRef(root, "previous", object.previous, MAX_OBJECT_BYTES))
    {
        error = "bad reference to the previous history object";
        return std::nullopt;
    }
    return object;
}

HistoryChain::HistoryChain(std::string product, std::string channel, const ChannelManifest& top)
    : m_product(std::move(product)), m_channel(std::move(channel)), m_next(top.history())
{
    if (!top.versions().empty())
    {
        m_oldest = top.versions().front().number;
    }
}

bool HistoryChain::take(std::string_view compressed, std::string& problem)
{
    if (!m_next)
    {
        problem = "the chain has ended";
        return false;
    }
    if (compressed.size() != m_next->size || !digestsEqual(m_next->sha256, sha256Hex(compressed)))
    {
        problem = "it does not match the size and SHA-256 that name it";
        return false;
    }
    std::optional<HistoryObject> object =
        ChannelHistory::decode(compressed, m_product, m_channel, problem);
    if (!object)
    {
        return false;
    }
    if (m_oldest && !(object->versions.back().number < *m_oldest))
    {
        problem = "its versions are not all older than those after it";
        return false;
    }
    if (m_versionCount + object->versions.size() > ChannelHistory::MAX_CHAIN_VERSIONS)
    {
        problem = "the chain holds more than " +
                  std::to_string(ChannelHistory::MAX_CHAIN_VERSIONS) + " versions";
        return false;
    }
    if (object->previous)
    {
        if (m_links.size() + 1 >= ChannelHistory::MAX_CHAIN_OBJECTS)
        {
            problem = "the chain is longer than " +
                      std::to_string(ChannelHistory::MAX_CHAIN_OBJECTS) + " objects";
            return false;
        }
        if (m_seen.count(object->previous->sha256) != 0 || object->previous->sha256 == m_next->sha256)
        {
            problem = "the chain loops back to " + object->previous->sha256;
            return false;
        }
    }
    m_seen.insert(m_next->sha256);
    m_links.push_back({*m_next, object->versions.size()});
    m_oldest = object->versions.front().number;
    m_versionCount += object->versions.size();
    m_next = std::move(object->previous);
    m_batches.push_back(std::move(object->versions));
    return true;
}

std::vector<ChannelVersion> HistoryChain::releaseVersions()
{
    std::vector<ChannelVersion> versions;
    versions.reserve(m_versionCount);
    for (auto batch = m_batches.rbegin(); batch != m_batches.rend(); ++batch)
    {
        versions.insert(versions.end(), std::make_move_iterator(batch->begin()),
                        std::make_move_iterator(batch->end()));
    }
    m_batches.clear();
    m_versionCount = 0;
    return versions;
}
} // namespace pelvane
