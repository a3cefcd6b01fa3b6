// A delta section of a bundle: the deltas of one version's files from one
// source version, behind their index.
//
//   "QORDIDX1" | count N (u32 LE) | N x { file number in the version's list
//   (u32 LE), delta size (u32 LE), source SHA-256 (32 raw bytes), delta
//   SHA-256 (32 raw bytes) } | the N deltas back to back, in index order
//
// The file list gives the index's size and SHA-256 and the section's size;
// the reader takes nothing from the index that those and the list's file
// count do not bound, so a hostile index can neither make the client
// allocate nor address bytes outside its section.
#pragma once

#include "pelvane/deltas/ByteSink.h"
#include "pelvane/deltas/CodecStatus.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pelvane::deltas
{
inline constexpr std::size_t DELTA_INDEX_HEADER = 12;
inline constexpr std::size_t DELTA_INDEX_ENTRY = 72;

struct DeltaEntry
{
    std::uint32_t fileNumber = 0;
    std::uint32_t size = 0;
    std::string sourceSha256; // hex
    std::string sha256;       // hex, of the delta blob
    std::uint64_t offset = 0; // from the section's first byte
};

struct DeltaIndexExpectation
{
    std::uint64_t indexSize = 0;
    std::string indexSha256; // hex
    std::uint64_t sectionSize = 0;
    std::uint32_t fileCount = 0; // files in the version's list
};

struct DeltaIndex
{
    std::vector<DeltaEntry> entries; // by file number, strictly rising
    // The entry of a file, or null.
    const DeltaEntry* find(std::uint32_t fileNumber) const;
};

// Judges the index bytes against what the file list says of them, then
// reads them: WrongInput when they are not the announced bytes, Corrupt
// when they are but do not hold a sound index.
CodecStatus readDeltaIndex(std::span<const unsigned char> bytes,
                           const DeltaIndexExpectation& expected, DeltaIndex& index);

// The bytes fetched for an entry are its delta (size and SHA-256).
CodecStatus checkDelta(const DeltaEntry& entry, std::span<const unsigned char> delta);

struct DeltaSectionSummary
{
    std::uint64_t indexSize = 0;
    std::string indexSha256; // hex
    std::uint64_t sectionSize = 0;
};

// Builds one section in memory from the chosen deltas and writes it.
class DeltaSectionWriter
{
public:
    // fileNumber above every one added before; sourceSha256 hex. Refused
    // (WrongInput) out of order, with a malformed hash, or an empty or
    // 4 GiB delta.
    CodecStatus add(std::uint32_t fileNumber, const std::string& sourceSha256, std::string delta);
    bool empty() const { return m_entries.empty(); }
    std::size_t count() const { return m_entries.size(); }
    // The index as it will be written.
    std::string indexBytes() const;
    CodecStatus write(ByteSink& out, DeltaSectionSummary& summary) const;

private:
    struct Entry
    {
        std::uint32_t fileNumber;
        std::string sourceDigest; // raw
        std::string digest;       // raw
        std::string delta;
    };
    std::vector<Entry> m_entries;
};
} // namespace pelvane::deltas
