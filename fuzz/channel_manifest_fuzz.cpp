// libFuzzer target for the payload of channel.qor: a top level it accepts is
// one of format 3, keeps within every bound, holds its versions ascending and
// once each, and writes back into text that reads as the same top level; one
// it refuses says why.
#include "fuzz/FuzzCheck.h"
#include "pelvane/trust/ChannelManifest.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace
{
using fuzzcheck::check;

using pelvane::ChannelManifest;
using pelvane::ChannelVersion;

bool sameVersion(const ChannelVersion& a, const ChannelVersion& b)
{
    return a.number == b.number && a.number.text() == b.number.text() && a.notes == b.notes &&
           a.complete == b.complete && a.fileCount == b.fileCount && a.totalSize == b.totalSize &&
           a.list.size == b.list.size && a.list.sha256 == b.list.sha256;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view payload(reinterpret_cast<const char*>(data), size);
    std::string error;
    const std::optional<ChannelManifest> manifest = ChannelManifest::parse(payload, error);
    if (!manifest)
    {
        check(!error.empty(), "a refusal says why");
        return 0;
    }
    const nlohmann::json root = nlohmann::json::parse(payload.begin(), payload.end(), nullptr, false);
    check(root.is_object() && root.contains("format") && root["format"] == 3,
          "only format 3 is read as format 3");
    check(manifest->serial() > 0, "a serial");
    check(manifest->product().size() <= 256 && manifest->channel().size() <= 512, "names bounded");
    check(manifest->versions().size() <= ChannelManifest::MAX_VERSIONS, "versions bounded");
    for (std::size_t i = 0; i < manifest->versions().size(); ++i)
    {
        const ChannelVersion& version = manifest->versions()[i];
        check(i == 0 || manifest->versions()[i - 1].number < version.number,
              "versions ascending, each once");
        check(version.notes.size() <= ChannelManifest::MAX_NOTES_BYTES, "notes bounded");
        check(version.fileCount <= ChannelManifest::MAX_FILES_PER_VERSION, "file count bounded");
        check(version.list.size <= ChannelManifest::MAX_LIST_BYTES, "file list size bounded");
        check(version.list.sha256.size() == 64, "list digest");
    }

    const std::string written = manifest->serialize();
    const std::optional<ChannelManifest> again = ChannelManifest::parse(written, error);
    check(again.has_value(), "what we write reads again");
    check(again->serial() == manifest->serial() && again->expires() == manifest->expires() &&
              again->product() == manifest->product() && again->channel() == manifest->channel() &&
              again->versions().size() == manifest->versions().size(),
          "the same top level reads again");
    for (std::size_t i = 0; i < again->versions().size(); ++i)
    {
        check(sameVersion(again->versions()[i], manifest->versions()[i]), "the same versions");
    }
    check(again->serialize() == written, "writing again gives the same bytes");
    return 0;
}
