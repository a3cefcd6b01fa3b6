// Prints what it costs a client to authenticate a manifest: the Ed25519
// check against the pin, and that check plus parsing, for manifests of a
// typical and of a large repository. The last line is the typical figure.
#include "pelvane/Manifest.h"
#include "pelvane/ManifestSignature.h"
#include "publisher/SigningKey.h"

#include <chrono>
#include <cstdio>
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

// Microseconds per call of `work`, over enough calls to last about 0.3 s.
template <typename Work> double microsecondsPer(Work work)
{
    using Clock = std::chrono::steady_clock;
    int calls = 0;
    const auto begin = Clock::now();
    auto elapsed = Clock::duration::zero();
    while (elapsed < std::chrono::milliseconds(300))
    {
        if (!work())
        {
            return -1;
        }
        ++calls;
        elapsed = Clock::now() - begin;
    }
    return std::chrono::duration<double, std::micro>(elapsed).count() / calls;
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
    double typical = 0;
    std::size_t typicalBytes = 0;
    for (const Shape& shape : {Shape{"large (50 versions x 2000 files)", 50, 2000},
                               Shape{"typical (10 versions x 20 files)", 10, 20}})
    {
        const std::string bytes = manifestOf(shape.versions, shape.files);
        const std::string signature = pelvane::ManifestSignature::formatLine(key->sign(bytes));
        const std::string pin = key->pin();
        const double check = microsecondsPer(
            [&]
            {
                std::string problem;
                return pelvane::ManifestSignature::check(pin, bytes, signature, problem) ==
                       pelvane::ManifestSignature::Check::Verified;
            });
        const double checkAndParse = microsecondsPer(
            [&]
            {
                std::string problem;
                return pelvane::ManifestSignature::check(pin, bytes, signature, problem) ==
                           pelvane::ManifestSignature::Check::Verified &&
                       pelvane::Manifest::parse(bytes, problem).has_value();
            });
        std::printf("%s, %zu bytes: signature %.1f us, signature + parse %.1f us\n", shape.name,
                    bytes.size(), check, checkAndParse);
        typical = check;
        typicalBytes = bytes.size();
    }
    std::printf("signature check per manifest: %.1f us (%zu bytes)\n", typical, typicalBytes);
    return 0;
}
