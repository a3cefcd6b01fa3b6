#include "pelvane/trust/ManifestSignature.h"

#include "pelvane/base/HexText.h"
#include "pelvane/base/Sha256.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace pelvane
{
namespace
{
constexpr std::size_t PUBLIC_KEY_BYTES = 32;
constexpr std::size_t SIGNATURE_BYTES = 64;

std::string lowered(std::string_view text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; });
    return result;
}

std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> result;
    std::size_t start = 0;
    while (start < line.size())
    {
        while (start < line.size() && (line[start] == ' ' || line[start] == '\t'))
        {
            ++start;
        }
        std::size_t end = start;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t')
        {
            ++end;
        }
        if (end > start)
        {
            result.push_back(line.substr(start, end - start));
        }
        start = end;
    }
    return result;
}
} // namespace

bool ManifestSignature::parse(std::string_view text, std::vector<SignatureLine>& lines,
                              std::string& problem)
{
    // filled only once the whole file reads well: a refused file yields no lines
    lines.clear();
    std::vector<SignatureLine> read;
    if (text.size() > MAX_BYTES)
    {
        problem = "signature file too large";
        return false;
    }
    std::size_t start = 0;
    while (start < text.size())
    {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
        {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
        {
            line.remove_suffix(1);
        }
        const std::vector<std::string_view> parts = words(line);
        if (parts.empty() || parts.front().front() == '#')
        {
            continue;
        }
        if (parts.size() == 1 && parts[0].size() == 64)
        {
            problem = "signature file is in the old shared-key form; republish the repository";
            return false;
        }
        SignatureLine entry;
        if (parts.size() != 3 || parts[0] != ALGORITHM || parts[1].size() != PUBLIC_KEY_BYTES * 2 ||
            parts[2].size() != SIGNATURE_BYTES * 2 || !fromHex(parts[1], entry.publicKey) ||
            !fromHex(parts[2], entry.signature))
        {
            problem = "malformed signature line";
            return false;
        }
        if (read.size() == MAX_LINES)
        {
            problem = "too many signatures";
            return false;
        }
        read.push_back(std::move(entry));
    }
    if (read.empty())
    {
        problem = "signature file holds no signature";
        return false;
    }
    lines = std::move(read);
    return true;
}

ManifestSignature::Check ManifestSignature::check(std::string_view pin,
                                                  std::string_view manifestBytes,
                                                  std::string_view signatureText,
                                                  std::string& problem)
{
    std::vector<SignatureLine> lines;
    if (!parse(signatureText, lines, problem))
    {
        return Check::Malformed;
    }
    const std::string wanted = lowered(pin);
    bool pinned = false;
    for (const SignatureLine& line : lines)
    {
        if (!digestsEqual(wanted, pinOf(line.publicKey)))
        {
            continue;
        }
        pinned = true;
        if (verifyOne(line.publicKey, line.signature, manifestBytes))
        {
            return Check::Verified;
        }
    }
    problem = pinned ? "signature does not verify" : "no signature by the pinned key";
    return pinned ? Check::DoesNotVerify : Check::NoPinnedKey;
}

std::string ManifestSignature::pinOf(std::string_view rawPublicKey)
{
    return sha256Hex(rawPublicKey).substr(0, PIN_HEX_DIGITS);
}

bool ManifestSignature::isPin(std::string_view text)
{
    std::string raw;
    return text.size() == PIN_HEX_DIGITS && fromHex(text, raw);
}

bool ManifestSignature::verifyOne(std::string_view rawPublicKey, std::string_view rawSignature,
                                  std::string_view message)
{
    if (rawPublicKey.size() != PUBLIC_KEY_BYTES || rawSignature.size() != SIGNATURE_BYTES)
    {
        return false;
    }
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                    reinterpret_cast<const unsigned char*>(rawPublicKey.data()),
                                    rawPublicKey.size()),
        &EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    if (!key || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
    {
        return false;
    }
    return EVP_DigestVerify(
               context.get(), reinterpret_cast<const unsigned char*>(rawSignature.data()),
               rawSignature.size(), reinterpret_cast<const unsigned char*>(message.data()),
               message.size()) == 1;
}

std::string ManifestSignature::formatLine(const SignatureLine& line)
{
    return std::string(ALGORITHM) + " " + toHex(line.publicKey) + " " + toHex(line.signature) +
           "\n";
}
} // namespace pelvane
