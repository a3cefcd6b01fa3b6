#include "publisher/SigningKey.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace publisher
{
namespace fs = std::filesystem;

void SigningKey::Deleter::operator()(evp_pkey_st* key) const noexcept
{
    EVP_PKEY_free(key);
}

std::optional<SigningKey> SigningKey::generate()
{
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (key == nullptr)
    {
        return std::nullopt;
    }
    SigningKey result;
    result.m_key.reset(key, Deleter());
    return result;
}

std::optional<SigningKey> SigningKey::fromPem(std::string_view pem)
{
    const std::unique_ptr<BIO, decltype(&BIO_free)> input(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
    if (!input)
    {
        return std::nullopt;
    }
    EVP_PKEY* key = PEM_read_bio_PrivateKey(input.get(), nullptr, nullptr, nullptr);
    if (key == nullptr)
    {
        return std::nullopt;
    }
    SigningKey result;
    result.m_key.reset(key, Deleter());
    if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519)
    {
        return std::nullopt;
    }
    return result;
}

std::optional<SigningKey> SigningKey::load(const std::string& path, std::string& problem)
{
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (error || !fs::is_regular_file(status))
    {
        problem = "key file not found: " + path;
        return std::nullopt;
    }
    const fs::perms open = fs::perms::group_all | fs::perms::others_all;
    if ((status.permissions() & open) != fs::perms::none)
    {
        problem =
            "key file " + path +
            " is accessible by group or others; chmod 600 it (a private key must stay private)";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in)
    {
        problem = "cannot read key file " + path;
        return std::nullopt;
    }
    std::optional<SigningKey> key = fromPem(text.str());
    if (!key)
    {
        problem = "not an Ed25519 private key (PEM): " + path;
    }
    return key;
}

int SigningKey::save(const std::string& path) const
{
    const std::unique_ptr<BIO, decltype(&BIO_free)> output(BIO_new(BIO_s_mem()), &BIO_free);
    if (!output || PEM_write_bio_PrivateKey(output.get(), m_key.get(), nullptr, nullptr, 0, nullptr,
                                            nullptr) != 1)
    {
        return EINVAL;
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(output.get(), &data);
    // "x": never replace an existing key; the mode is narrowed before any byte is written
    std::FILE* file = std::fopen(path.c_str(), "wbx");
    if (file == nullptr)
    {
        return errno;
    }
    std::error_code error;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace,
                    error);
    const bool written = !error && std::fwrite(data, 1, static_cast<std::size_t>(size), file) ==
                                       static_cast<std::size_t>(size);
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed)
    {
        fs::remove(path, error);
        return EIO;
    }
    return 0;
}

std::string SigningKey::rawPublicKey() const
{
    unsigned char raw[32];
    std::size_t length = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(m_key.get(), raw, &length) != 1)
    {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(raw), length);
}

pelvane::SignatureLine SigningKey::sign(std::string_view message) const
{
    pelvane::SignatureLine line;
    line.publicKey = rawPublicKey();
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    unsigned char signature[64];
    std::size_t length = sizeof signature;
    if (context && EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, m_key.get()) == 1 &&
        EVP_DigestSign(context.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1)
    {
        line.signature.assign(reinterpret_cast<const char*>(signature), length);
    }
    return line;
}
} // namespace publisher
