// The publisher's Ed25519 private key, kept in a PEM (PKCS#8) file that only
// its owner may read. Clients never see it: they hold its pin (see
// pelvane::ManifestSignature::pinOf).
#pragma once

#include "pelvane/trust/ManifestSignature.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct evp_pkey_st;

namespace publisher
{
class SigningKey
{
public:
    static std::optional<SigningKey> generate();
    // Empty with `problem` set when the file is missing, readable by group or
    // others (as ssh refuses), or not an Ed25519 private key.
    static std::optional<SigningKey> load(const std::string& path, std::string& problem);
    static std::optional<SigningKey> fromPem(std::string_view pem);

    // Writes the key readable by its owner only; never replaces a file. 0 or an errno.
    int save(const std::string& path) const;

    std::string rawPublicKey() const;
    std::string pin() const { return pelvane::ManifestSignature::pinOf(rawPublicKey()); }
    pelvane::SignatureLine sign(std::string_view message) const;

private:
    struct Deleter
    {
        void operator()(evp_pkey_st* key) const noexcept;
    };
    SigningKey() = default;
    std::shared_ptr<evp_pkey_st> m_key;
};
} // namespace publisher
