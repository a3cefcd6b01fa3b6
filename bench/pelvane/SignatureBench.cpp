// Prints what it costs a client to authenticate a manifest: the Ed25519
// check against the pin, and that check plus parsing, for manifests of a
// typical and of a large repository. The last line is the typical figure.
#include "pelvane/trust/Manifest.h"
#include "pelvane/trust/ManifestSignature.h"
#include "publisher/SigningKey.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

namespace
{
std::string manifestOf(int versions, int filesPerVersion)
{
    pelvane::Manifest manifest;
    manifest.setProduct("BENCH");
    manifest.setChannel("APP/EN");
    manifest.setSerial(1796770000);
    manifest.setExpires(1830000000);
    for (int v = 1; v <= versions; ++v)
    {
        pelvane::ManifestVersion version;
        version.number = *pelvane::VersionNumber::parse("1." + std::to_string(v) + ".0");
        version.notes = "Release notes of version " + std::to_string(v);
        for (int f = 0; f < filesPerVersion; ++f)
        {
            version.files.push_back({"bin/component-" + std::to_string(f) + ".dll",
                                     static_cast<std::uint64_t>(100000 + f),
                                     std::string(64, static_cast<char>('a' + f % 6))});
        }
        manifest.put(std::move(version));
    }
    return manifest.serialize();
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
    for (const Shape& shape : {Shape{"large (20 versions x 2000 files)", 20, 2000},
                               Shape{"typical (10 versions x 20 files)", 10, 20}})
    {
        const std::string bytes = manifestOf(shape.versions, shape.files);
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
                       pelvane::Manifest::parse(bytes, problem).has_value();
            });
        std::printf("%s, %zu bytes: signature %.1f us CPU (%.1f us wall), signature + parse "
                    "%.1f us CPU (%.1f us wall)\n",
                    shape.name, bytes.size(), check.cpuMicroseconds, check.wallMicroseconds,
                    checkAndParse.cpuMicroseconds, checkAndParse.wallMicroseconds);
        typical = check;
        typicalBytes = bytes.size();
    }
    std::printf("signature check per manifest: %.1f us (CPU; %.1f us wall; %zu bytes)\n",
                typical.cpuMicroseconds, typical.wallMicroseconds, typicalBytes);
    return 0;
}
