#include "pelvane/base/Sha256.h"

#include "pelvane/base/HexText.h"

#include "platform/SystemCalls.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cerrno>
#include <vector>

namespace pelvane
{
namespace
{
using platform::SystemCalls;

} // namespace

void Sha256::Deleter::operator()(evp_md_ctx_st* context) const noexcept
{
    EVP_MD_CTX_free(context);
}

Sha256::Sha256() : m_context(EVP_MD_CTX_new())
{
    reset();
}

Sha256::~Sha256() = default;

void Sha256::reset()
{
    EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr);
}

void Sha256::update(const void* data, std::size_t size)
{
    EVP_DigestUpdate(m_context.get(), data, size);
}

std::string Sha256::finishHex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context.get(), digest, &length);
    reset();
    return toHex(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::string sha256Hex(std::string_view data)
{
    Sha256 digest;
    digest.update(data.data(), data.size());
    return digest.finishHex();
}

bool hashFilePrefix(const std::string& path, std::uint64_t length, DigestInput& digest,
                    const std::atomic<bool>* cancel, int& errorNumber)
{
    errorNumber = 0;
    const int fd = SystemCalls::open(path, SystemCalls::OpenMode::ReadNoFollow);
    if (fd < 0)
    {
        errorNumber = errno;
        return false;
    }
    std::vector<unsigned char> buffer(256 * 1024);
    std::uint64_t left = length;
    bool complete = true;
    while (left > 0)
    {
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed))
        {
            complete = false;
            break;
        }
        const std::size_t wanted =
            left < buffer.size() ? static_cast<std::size_t>(left) : buffer.size();
        const std::int64_t got = SystemCalls::read(fd, buffer.data(), wanted);
        if (got <= 0)
        {
            errorNumber = got < 0 ? errno : EIO; // shorter than it should be
            complete = false;
            break;
        }
        digest.update(buffer.data(), static_cast<std::size_t>(got));
        left -= static_cast<std::uint64_t>(got);
    }
    SystemCalls::close(fd);
    return complete;
}

bool digestsEqual(std::string_view expectedHex, std::string_view actualHex)
{
    if (expectedHex.size() != actualHex.size() || expectedHex.empty())
    {
        return false;
    }
    return CRYPTO_memcmp(expectedHex.data(), actualHex.data(), expectedHex.size()) == 0;
}
} // namespace pelvane
