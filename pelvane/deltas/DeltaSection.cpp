#include "pelvane/deltas/DeltaSection.h"

#include "pelvane/base/HexText.h"
#include "pelvane/base/Sha256.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

namespace pelvane::deltas
{
namespace
{
constexpr char MAGIC[] = "QORDIDX1";
constexpr std::size_t MAGIC_SIZE = 8;

std::uint32_t readU32(const unsigned char* at)
{
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

void putU32(std::string& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
    {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

std::string_view textOf(std::span<const unsigned char> bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string hexAt(const unsigned char* at)
{
    return toHex({reinterpret_cast<const char*>(at), 32});
}

bool rawDigest(const std::string& hex, std::string& raw)
{
    return hex.size() == 64 && fromHex(hex, raw);
}
} // namespace

const DeltaEntry* DeltaIndex::find(std::uint32_t fileNumber) const
{
    const auto found = std::lower_bound(entries.begin(), entries.end(), fileNumber,
                                        [](const DeltaEntry& entry, std::uint32_t number)
                                        { return entry.fileNumber < number; });
    return found != entries.end() && found->fileNumber == fileNumber ? &*found : nullptr;
}

CodecStatus readDeltaIndex(std::span<const unsigned char> bytes,
                           const DeltaIndexExpectation& expected, DeltaIndex& index)
{
    index = {};
    if (bytes.size() != expected.indexSize)
    {
        return CodecStatus::failure(CodecError::WrongInput,
                                    "delta index of " + std::to_string(bytes.size()) + " bytes, " +
                                        std::to_string(expected.indexSize) + " announced");
    }
    if (!digestsEqual(expected.indexSha256, sha256Hex(textOf(bytes))))
    {
        return CodecStatus::failure(CodecError::WrongInput, "the delta index fails its SHA-256");
    }
    if (bytes.size() < DELTA_INDEX_HEADER || std::memcmp(bytes.data(), MAGIC, MAGIC_SIZE) != 0)
    {
        return CodecStatus::failure(CodecError::Corrupt, "not a delta index");
    }
    const std::uint32_t count = readU32(bytes.data() + MAGIC_SIZE);
    if (count > expected.fileCount ||
        bytes.size() != DELTA_INDEX_HEADER + std::uint64_t{count} * DELTA_INDEX_ENTRY)
    {
        return CodecStatus::failure(CodecError::Corrupt,
                                    "delta index of " + std::to_string(count) + " entries in " +
                                        std::to_string(bytes.size()) + " bytes");
    }
    index.entries.reserve(count);
    // at most 50,000 entries of at most 4 GiB each: no overflow in 64 bits
    std::uint64_t offset = bytes.size();
    for (std::uint32_t i = 0; i < count; ++i)
    {
        const unsigned char* at =
            bytes.data() + DELTA_INDEX_HEADER + std::size_t{i} * DELTA_INDEX_ENTRY;
        DeltaEntry entry;
        entry.fileNumber = readU32(at);
        entry.size = readU32(at + 4);
        if (entry.fileNumber >= expected.fileCount ||
            (!index.entries.empty() && entry.fileNumber <= index.entries.back().fileNumber) ||
            entry.size == 0)
        {
            index.entries.clear();
            return CodecStatus::failure(CodecError::Corrupt,
                                        "delta index entry " + std::to_string(i) + " names file " +
                                            std::to_string(entry.fileNumber) + " with " +
                                            std::to_string(entry.size) + " bytes");
        }
        entry.sourceSha256 = hexAt(at + 8);
        entry.sha256 = hexAt(at + 40);
        entry.offset = offset;
        offset += entry.size;
        index.entries.push_back(std::move(entry));
    }
    if (offset != expected.sectionSize)
    {
        index.entries.clear();
        return CodecStatus::failure(CodecError::Corrupt, "the delta index spans " +
                                                             std::to_string(offset) +
                                                             " bytes of a section of " +
                                                             std::to_string(expected.sectionSize));
    }
    return CodecStatus::success();
}

CodecStatus checkDelta(const DeltaEntry& entry, std::span<const unsigned char> delta)
{
    if (delta.size() != entry.size)
    {
        return CodecStatus::failure(CodecError::WrongInput,
                                    "delta of " + std::to_string(delta.size()) + " bytes, " +
                                        std::to_string(entry.size) + " announced");
    }
    if (!digestsEqual(entry.sha256, sha256Hex(textOf(delta))))
    {
        return CodecStatus::failure(CodecError::WrongInput, "the delta fails its SHA-256");
    }
    return CodecStatus::success();
}

CodecStatus DeltaSectionWriter::add(std::uint32_t fileNumber, const std::string& sourceSha256,
                                    std::string delta)
{
    Entry entry{fileNumber, {}, {}, std::move(delta)};
    if (!m_entries.empty() && fileNumber <= m_entries.back().fileNumber)
    {
        return CodecStatus::failure(CodecError::WrongInput, "deltas out of file order");
    }
    if (!rawDigest(sourceSha256, entry.sourceDigest))
    {
        return CodecStatus::failure(CodecError::WrongInput, "malformed source SHA-256");
    }
    if (entry.delta.empty() || entry.delta.size() > std::numeric_limits<std::uint32_t>::max())
    {
        return CodecStatus::failure(CodecError::WrongInput,
                                    "a delta of " + std::to_string(entry.delta.size()) + " bytes");
    }
    fromHex(sha256Hex(entry.delta), entry.digest);
    m_entries.push_back(std::move(entry));
    return CodecStatus::success();
}

std::string DeltaSectionWriter::indexBytes() const
{
    std::string index(MAGIC, MAGIC_SIZE);
    putU32(index, static_cast<std::uint32_t>(m_entries.size()));
    for (const Entry& entry : m_entries)
    {
        putU32(index, entry.fileNumber);
        putU32(index, static_cast<std::uint32_t>(entry.delta.size()));
        index += entry.sourceDigest;
        index += entry.digest;
    }
    return index;
}

CodecStatus DeltaSectionWriter::write(ByteSink& out, DeltaSectionSummary& summary) const
{
    const std::string index = indexBytes();
    summary = {index.size(), sha256Hex(index), index.size()};
    if (const int error = out.write(index.data(), index.size()))
    {
        return CodecStatus::disk(error, "writing a delta index");
    }
    for (const Entry& entry : m_entries)
    {
        if (const int error = out.write(entry.delta.data(), entry.delta.size()))
        {
            return CodecStatus::disk(error, "writing a delta");
        }
        summary.sectionSize += entry.delta.size();
    }
    return CodecStatus::success();
}
} // namespace pelvane::deltas
