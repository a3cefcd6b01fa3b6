// Prints what it costs a client to authenticate a channel: the Ed25519
// check of channel.qor against the pin, that check plus parsing, and the
// hash check plus decompression and parsing of one version's file list, for
// a typical and a large repository. The last line is the typical figure.
#include "pelvane/base/Sha256.h"
#include "pelvane/trust/ChannelManifest.h"
#include "pelvane/trust/FileList.h"
#include "pelvane/trust/ManifestSignature.h"
#include "publisher/SigningKey.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

namespace
{
std::string channelOf(int versions)
{
    pelvane::ChannelManifest manifest;
    manifest.setProduct("BENCH");
    manifest.setChannel("APP/EN");
    manifest.setSerial(1796770000);
    manifest.setExpires(1830000000);
    for (int v = 1; v <= versions; ++v)
    {
        pelvane::ChannelVersion version;
        version.number = *pelvane::VersionNumber::parse("1." + std::to_string(v) + ".0");
        version.notes = "Release notes of version " + std::to_string(v);
        version.fileCount = 2000;
        version.totalSize = 300000000;
        version.list = {80000, std::string(64, 'a')};
        manifest.put(std::move(version));
    }
    return manifest.serialize();
}

std::string listOf(int files)
{
    pelvane::FileList list;
    list.product = "BENCH";
    list.channel = "APP/EN";
    list.version.number = *pelvane::VersionNumber::parse("1.0.0");
    for (int f = 0; f < files; ++f)
    {
        const std::string path = "bin/component-" + std::to_string(f) + ".dll";
        list.version.files.push_back({path, static_cast<std::uint64_t>(100000 + f),
                                      pelvane::sha256Hex(path),
                                      pelvane::ObjectRef{500, pelvane::sha256Hex(path + ".cidx")}});
    }
    return list.encode();
}

struct Cost
{
    double cpuMicroseconds = -1;  // what the check itself costs
    double wallMicroseconds = -1; // what it took on this (possibly shared) machine
};

// Per call of `work`, over enough calls to last about 0.3 s of processor time.
template <typename Work> Cost costPer(Work work)
{
    using Clock = std::chrono::steady_clock;
    int calls = 0;
    const auto begin = Clock::now();
    const std::clock_t cpuBegin = std::clock();
    std::clock_t cpu = 0;
    while (cpu < CLOCKS_PER_SEC * 3 / 10)
    {
        if (!work())
        {
            return {};
        }
        ++calls;
        cpu = std::clock() - cpuBegin;
    }
    Cost cost;
    cost.cpuMicroseconds = 1e6 * static_cast<double>(cpu) / CLOCKS_PER_SEC / calls;
    cost.wallMicroseconds =
        std::chrono::duration<double, std::micro>(Clock::now() - begin).count() / calls;
    return cost;
}
} // namespace

int main()
{
    const auto key = publisher::SigningKey::generate();
    if (!key)
    {
        std::fprintf(stderr, "no key\n");
        return 1;
    }
    struct Shape
    {
        const char* name;
        int versions;
        int files;
    };
    Cost typical;
    std::size_t typicalBytes = 0;
    for (const Shape& shape : {Shape{"large (1000 versions, 2000 files per list)", 1000, 2000},
                               Shape{"typical (10 versions, 20 files per list)", 10, 20}})
    {
        const std::string bytes = channelOf(shape.versions);
        const std::string signature = pelvane::ManifestSignature::formatLine(key->sign(bytes));
        const std::string pin = key->pin();
        const Cost check = costPer(
            [&]
            {
                std::string problem;
                return pelvane::ManifestSignature::check(pin, bytes, signature, problem) ==
                       pelvane::ManifestSignature::Check::Verified;
            });
        const Cost checkAndParse = costPer(
            [&]
            {
                std::string problem;
                return pelvane::ManifestSignature::check(pin, bytes, signature, problem) ==
                           pelvane::ManifestSignature::Check::Verified &&
                       pelvane::ChannelManifest::parse(bytes, problem).has_value();
            });
        const std::string list = listOf(shape.files);
        const std::string listHash = pelvane::sha256Hex(list);
        const Cost listCheck = costPer(
            [&]
            {
                std::string problem;
                return pelvane::digestsEqual(listHash, pelvane::sha256Hex(list)) &&
                       pelvane::FileList::decode(list, problem).has_value();
            });
        std::printf("%s, channel.qor %zu bytes: signature %.1f us CPU (%.1f us wall), signature "
                    "+ parse %.1f us CPU (%.1f us wall); file list %zu bytes: hash + decode "
                    "%.1f us CPU\n",
                    shape.name, bytes.size(), check.cpuMicroseconds, check.wallMicroseconds,
                    checkAndParse.cpuMicroseconds, checkAndParse.wallMicroseconds, list.size(),
                    listCheck.cpuMicroseconds);
        typical = check;
        typicalBytes = bytes.size();
    }
    std::printf("signature check per manifest: %.1f us (CPU; %.1f us wall; %zu bytes)\n",
                typical.cpuMicroseconds, typical.wallMicroseconds, typicalBytes);
    return 0;
}
