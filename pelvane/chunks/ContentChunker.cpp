#include "pelvane/chunks/ContentChunker.h"

#include <array>

namespace pelvane
{
namespace
{
// The hash of a 64-bit gear shifts one bit per byte, so its top bits see the
// last 64 bytes; hashing may start that far before the first possible cut.
constexpr std::uint32_t WINDOW = 64;
// Normalised chunking: 2 bits harder than the average before it, 2 easier after.
constexpr int BITS_BEFORE_AVERAGE = 18;
constexpr int BITS_AFTER_AVERAGE = 14;
constexpr std::uint64_t LIMIT_BEFORE_AVERAGE = 1ULL << (64 - BITS_BEFORE_AVERAGE);
constexpr std::uint64_t LIMIT_AFTER_AVERAGE = 1ULL << (64 - BITS_AFTER_AVERAGE);

// splitmix64 from a fixed seed: a table that every build computes alike
constexpr std::array<std::uint64_t, 256> makeGearTable()
{
    std::array<std::uint64_t, 256> table{};
    std::uint64_t state = 0x51a3c0de2026ULL;
    for (std::uint64_t& entry : table)
    {
        state += 0x9e3779b97f4a7c15ULL;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        entry = z ^ (z >> 31);
    }
    return table;
}
constexpr std::array<std::uint64_t, 256> GEAR = makeGearTable();
} // namespace

ContentChunker::ContentChunker(OnChunk onChunk) : m_onChunk(std::move(onChunk)) {}

std::uint64_t ContentChunker::gear(unsigned char byte)
{
    return GEAR[byte];
}

void ContentChunker::emit()
{
    m_onChunk(m_chunkStart, m_length, m_digest.finishHex());
    m_chunkStart += m_length;
    m_length = 0;
    m_hash = 0;
}

void ContentChunker::update(const unsigned char* data, std::size_t size)
{
    while (size > 0)
    {
        std::size_t used = 0;
        bool cut = false;
        // nothing before the window can decide a cut: count it and move on
        if (m_length < MIN_SIZE - WINDOW)
        {
            const std::size_t skip = std::min<std::size_t>(size, MIN_SIZE - WINDOW - m_length);
            m_length += static_cast<std::uint32_t>(skip);
            used = skip;
        }
        std::uint32_t length = m_length;
        std::uint64_t hash = m_hash;
        for (; used < size; ++used)
        {
            hash = (hash << 1) + GEAR[data[used]];
            ++length;
            if (length >= MIN_SIZE)
            {
                const std::uint64_t limit =
                    length < AVERAGE_SIZE ? LIMIT_BEFORE_AVERAGE : LIMIT_AFTER_AVERAGE;
                if (hash < limit || length >= MAX_SIZE)
                {
                    ++used;
                    cut = true;
                    break;
                }
            }
        }
        m_length = length;
        m_hash = hash;
        m_digest.update(data, used);
        data += used;
        size -= used;
        if (cut)
        {
            emit();
        }
    }
}

void ContentChunker::finish()
{
    if (m_length > 0)
    {
        emit();
    }
}
} // namespace pelvane
