// libFuzzer target for the signed envelope of channel.qor: whatever the
// bytes, a split that succeeds gives views into them that compose back into
// an envelope splitting the same way; one that fails says why and hands out
// nothing. No payload verifies without our key's signature, and ours, in an
// envelope around any payload, verifies that payload and nothing else.
#include "fuzz/FuzzCheck.h"
#include "pelvane/trust/ChannelEnvelope.h"
#include "pelvane/trust/ManifestSignature.h"
#include "publisher/SigningKey.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace
{
using fuzzcheck::check;

bool within(std::string_view part, std::string_view whole)
{
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

const publisher::SigningKey& ourKey()
{
    static const std::optional<publisher::SigningKey> key = publisher::SigningKey::generate();
    check(key.has_value(), "a key is made");
    return *key;
}

using pelvane::ChannelEnvelope;
using pelvane::ManifestSignature;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const publisher::SigningKey& key = ourKey();

    const std::string_view untouched = "untouched";
    std::string_view signatures = untouched;
    std::string_view payload = untouched;
    std::string problem;
    const ChannelEnvelope::Split split = ChannelEnvelope::split(bytes, signatures, payload, problem);
    if (split != ChannelEnvelope::Split::Done)
    {
        check(!problem.empty(), "a refusal says why");
        check(signatures.data() == untouched.data() && payload.data() == untouched.data(),
              "a refused envelope hands out nothing");
    }
    else
    {
        check(within(signatures, bytes) && within(payload, bytes), "views into the envelope");
        check(payload.data() + payload.size() == bytes.data() + bytes.size(),
              "the payload runs to the end");
        check(signatures.data() + signatures.size() < payload.data(),
              "the signatures come before the payload, apart from it");
        check(signatures.empty() || signatures.back() == '\n', "whole signature lines");
        const std::string composed = ChannelEnvelope::compose(signatures, payload);
        check(composed.size() <= bytes.size(), "composing adds nothing");
        std::string_view again;
        std::string_view againPayload;
        check(ChannelEnvelope::split(composed, again, againPayload, problem) ==
                      ChannelEnvelope::Split::Done &&
                  again == signatures && againPayload == payload,
              "a composed envelope splits the same way");
        check(ManifestSignature::check(key.pin(), payload, signatures, problem) !=
                  ManifestSignature::Check::Verified,
              "nothing verifies without our signature");
    }

    // the input as a payload, signed by us
    const std::string envelope =
        ChannelEnvelope::compose(ManifestSignature::formatLine(key.sign(bytes)), bytes);
    std::string_view ours;
    std::string_view oursPayload;
    check(ChannelEnvelope::split(envelope, ours, oursPayload, problem) ==
                  ChannelEnvelope::Split::Done &&
              oursPayload == bytes,
          "our envelope gives back its payload");
    check(ManifestSignature::check(key.pin(), oursPayload, ours, problem) ==
              ManifestSignature::Check::Verified,
          "our signature verifies what it signed");
    const std::string other = std::string(bytes) + "\n";
    check(ManifestSignature::check(key.pin(), other, ours, problem) ==
              ManifestSignature::Check::DoesNotVerify,
          "our signature verifies nothing else");
    return 0;
}
