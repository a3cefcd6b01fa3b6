// Compressed objects: a file as one zstd frame with a long window (for
// downloads of the whole file), or as independent frames along its chunk
// boundaries (seekable: a range of the object is a range of compressed
// chunks, each decodable alone). Both report the object's size and SHA-256
// for the file list; the framed form also each frame's compressed size,
// which the chunk index records (offsets are cumulative).
#pragma once

#include "pelvane/deltas/ByteSink.h"
#include "pelvane/deltas/CodecStatus.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace pelvane::deltas
{
struct CompressionOptions
{
    int level = 19;
    // The whole-file frame's window spans the file up to 2^windowLogMax;
    // the client decodes into the mapped part file, so a long window costs
    // it no memory.
    int windowLogMax = 31;
    // zstd's own threads for the whole-file frame (0: none); the frame
    // decodes the same, a little larger than one made in one thread
    int workers = 0;
    const std::atomic<bool>* cancel = nullptr; // looked at between pieces of about 1 MiB
};

struct CompressedObject
{
    std::uint64_t size = 0;            // bytes written to the sink
    std::string sha256;                // of those bytes, hex
    std::vector<std::uint32_t> frames; // the framed form: each frame's compressed size
};

// The file at sourcePath as one frame (its size in the frame header).
CodecStatus compressWhole(const std::string& sourcePath, ByteSink& out,
                          const CompressionOptions& options, CompressedObject& object);

// The file at sourcePath as one frame per piece; pieceLengths must add up
// to the file's size (WrongInput otherwise).
CodecStatus compressFramed(const std::string& sourcePath,
                           const std::vector<std::uint32_t>& pieceLengths, ByteSink& out,
                           const CompressionOptions& options, CompressedObject& object);

// Bytes in memory as one frame of a window spanning them; for the small
// objects of a bundle and for file lists.
CodecStatus compressBytes(const void* data, std::size_t size, int level, std::string& out);
} // namespace pelvane::deltas
