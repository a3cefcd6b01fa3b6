// Cuts a byte stream into content-defined chunks with a gear rolling hash
// (the FastCDC scheme): a cut depends only on the 64 bytes before it, so an
// insertion or deletion moves the cuts near it and leaves the others where
// they were. Sizes are bounded (MIN_SIZE..MAX_SIZE) and normalised around
// AVERAGE_SIZE: before the average a cut needs more zero bits than after it.
// Publisher and library must cut alike, so every constant here, the gear
// table included, is part of the chunk index format.
#pragma once

#include "pelvane/base/Sha256.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace pelvane
{
class ContentChunker
{
public:
    static constexpr std::uint32_t MIN_SIZE = 16U * 1024U;
    static constexpr std::uint32_t AVERAGE_SIZE = 64U * 1024U;
    static constexpr std::uint32_t MAX_SIZE = 256U * 1024U;

    // offset in the stream, length, lowercase hex SHA-256 of the chunk
    using OnChunk =
        std::function<void(std::uint64_t offset, std::uint32_t length, const std::string& sha256)>;

    explicit ContentChunker(OnChunk onChunk);

    void update(const unsigned char* data, std::size_t size);
    // Emits the last, possibly short, chunk.
    void finish();

    static std::uint64_t gear(unsigned char byte);

private:
    void emit();

    OnChunk m_onChunk;
    Sha256 m_digest;
    std::uint64_t m_chunkStart = 0;
    std::uint32_t m_length = 0;
    std::uint64_t m_hash = 0;
};
} // namespace pelvane
