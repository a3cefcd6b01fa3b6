// channel.qor as bytes: a first line naming the format, the signature lines
// (ManifestSignature's form, 1 to 16 of them), one empty line, then the
// payload (ChannelManifest's JSON). The signatures are over the exact bytes
// of the payload, so the top level is one object and one request:
//
//   qor-channel 3
//   ed25519 <public key, 64 hex> <signature, 128 hex>
//
//   {"format":3,...}
#pragma once

#include <string>
#include <string_view>

namespace pelvane
{
class ChannelEnvelope
{
public:
    static constexpr std::size_t MAX_BYTES = 1024U * 1024U;
    static constexpr std::string_view MAGIC = "qor-channel";
    static constexpr int FORMAT = 3;

    enum class Split
    {
        Done,
        NotAChannel, // too large, another format, or no channel file at all
        Cut,         // the signature block never ends: cut short or garbled
    };
    // The signature lines and the payload of `bytes`; `problem` says why not.
    static Split split(std::string_view bytes, std::string_view& signatureLines,
                       std::string_view& payload, std::string& problem);
    // The envelope of `payload` with the given signature lines (each ending in '\n').
    static std::string compose(std::string_view signatureLines, std::string_view payload);
};
} // namespace pelvane
