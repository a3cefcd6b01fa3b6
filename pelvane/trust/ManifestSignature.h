// The signatures of manifest.json, read from manifest.json.sig. The file
// holds one line per signature:
//
//   ed25519 <public key: 64 hex digits> <signature: 128 hex digits>
//
// A client holds only a pin of the publisher's public key (the lowercase hex
// of the first 16 bytes of SHA-256 over the raw 32-byte key) and accepts the
// manifest when a signature whose key matches the pin verifies over its exact
// bytes. Several lines on one manifest are how a key is rotated.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelvane
{
struct SignatureLine
{
    std::string publicKey; // 32 raw bytes
    std::string signature; // 64 raw bytes
};

class ManifestSignature
{
public:
    static constexpr std::size_t MAX_BYTES = 4096;
    static constexpr std::size_t MAX_LINES = 16;
    static constexpr std::size_t PIN_HEX_DIGITS = 32;
    static constexpr const char* ALGORITHM = "ed25519";

    enum class Check
    {
        Verified,
        Malformed,     // not a signature file of this form (cut, garbage, old HMAC form)
        NoPinnedKey,   // no signature by the pinned key
        DoesNotVerify, // the pinned key's signature is not over these bytes
    };

    // Empty with `problem` set when the text is not a well-formed signature file.
    static bool parse(std::string_view text, std::vector<SignatureLine>& lines,
                      std::string& problem);
    static Check check(std::string_view pin, std::string_view manifestBytes,
                       std::string_view signatureText, std::string& problem);

    // The pin of a raw 32-byte public key.
    static std::string pinOf(std::string_view rawPublicKey);
    // A pin as given by a user: 32 hex digits, either case.
    static bool isPin(std::string_view text);
    static bool verifyOne(std::string_view rawPublicKey, std::string_view rawSignature,
                          std::string_view message);
    static std::string formatLine(const SignatureLine& line);
};

} // namespace pelvane
