// SHA-256 in pieces (a download hashes its bytes as they arrive). Hex texts
// are lowercase.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace pelvane
{
// Anything that takes bytes to hash.
class DigestInput
{
public:
    virtual ~DigestInput() = default;
    virtual void update(const void* data, std::size_t size) = 0;
};

class Sha256 : public DigestInput
{
public:
    Sha256();
    ~Sha256() override;
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void reset();
    void update(const void* data, std::size_t size) override;
    // Ends this digest and starts a new one.
    std::string finishHex();

private:
    struct Deleter
    {
        void operator()(evp_md_ctx_st* context) const noexcept;
    };
    std::unique_ptr<evp_md_ctx_st, Deleter> m_context;
};

std::string sha256Hex(std::string_view data);

// Adds the first `length` bytes of the file to `digest`. False on a read
// failure (errno in `errorNumber`) or when `cancel` becomes true.
bool hashFilePrefix(const std::string& path, std::uint64_t length, DigestInput& digest,
                    const std::atomic<bool>* cancel, int& errorNumber);

// Compares two hex digests without leaking where they differ.
bool digestsEqual(std::string_view expectedHex, std::string_view actualHex);
} // namespace pelvane
