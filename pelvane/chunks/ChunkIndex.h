// The chunk index of one published file: where ContentChunker cuts it, and
// each chunk's length and SHA-256. qor-publish writes it as
// <version>/cidx/<path>; the version's file list names its size and
// SHA-256, so the publisher's signature covers it. Binary, little-endian:
//
//   offset  size  field
//   0       8     magic "QORCIDX2" (or "QORCIDX1": no compressed sizes)
//   8       4     minimum chunk size    } must equal ContentChunker's,
//   12      4     average chunk size    } else the index is refused
//   16      4     maximum chunk size    }
//   20      8     size of the file
//   28      4     number of chunks N
//   32      40*N  per chunk: length (4 bytes), compressed length (4 bytes),
//                 SHA-256 (32 raw bytes); QORCIDX1: 36*N without the
//                 compressed length
//
// Chunk i starts where chunk i-1 ends; the lengths add up to the file size.
// The compressed lengths are those of the file's compressed object, one
// zstd frame per chunk, back to back: chunk i's frame starts where frame
// i-1 ends, and they add up to the object's size (which the file list
// gives). A file that does not shrink has no object and a QORCIDX1 index.
#pragma once

#include "pelvane/chunks/ContentChunker.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelvane
{
struct Chunk
{
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    std::string sha256; // lowercase hex
    // In the file's framed compressed object (0/0 when it has none).
    std::uint64_t compressedOffset = 0;
    std::uint32_t compressedLength = 0;
};

class ChunkIndex
{
public:
    static constexpr std::size_t HEADER_BYTES = 32;
    static constexpr std::size_t ENTRY_BYTES = 36;        // QORCIDX1
    static constexpr std::size_t FRAMED_ENTRY_BYTES = 40; // QORCIDX2
    // A frame of a chunk that does not shrink is the chunk stored raw, plus
    // zstd's block and frame headers: well under 1/64 more.
    static constexpr std::uint32_t MAX_FRAME_BYTES =
        ContentChunker::MAX_SIZE + ContentChunker::MAX_SIZE / 64;

    static std::optional<ChunkIndex> parse(std::string_view bytes, std::string& error);
    std::string serialize() const;

    // Chunks a file (and hashes it whole, when `fileSha256` is given). False
    // with errno in `errorNumber` on a read failure or a cancel.
    static bool build(const std::string& path, ChunkIndex& index, std::string* fileSha256,
                      const std::atomic<bool>* cancel, int& errorNumber);
    // Empty when `index` describes the file at `path` exactly, else what differs.
    static std::string checkAgainstFile(const ChunkIndex& index, const std::string& path);

    std::uint64_t fileSize() const { return m_fileSize; }
    const std::vector<Chunk>& chunks() const { return m_chunks; }
    void add(std::uint32_t length, std::string sha256);
    // The frames of the compressed object, one per chunk; false (and
    // nothing changed) when their number is not the number of chunks or
    // one is empty or over MAX_FRAME_BYTES.
    bool setCompressedLengths(const std::vector<std::uint32_t>& lengths);
    // Whether the index gives compressed lengths (QORCIDX2), and their sum.
    bool framed() const { return m_compressedSize > 0; }
    std::uint64_t compressedSize() const { return m_compressedSize; }

private:
    std::uint64_t m_fileSize = 0;
    std::uint64_t m_compressedSize = 0;
    std::vector<Chunk> m_chunks;
};
} // namespace pelvane
