// Streaming decompression of a compressed object into the part file, as
// its compressed bytes arrive. The output is the part file mapped at its
// declared size (a small file: a buffer written out by finish()): zstd
// writes straight into it and uses it as its window,
// so a long-window frame of hundreds of MiB costs a few hundred KiB of
// memory, and nothing can be written beyond the declared size (a frame
// that wants to is a bomb: TooLarge). The compressed bytes are counted and
// hashed as they come; finish() judges them against their announced size
// and SHA-256, and the output against its declared size (and SHA-256 when
// one is given).
//
// Resume: the caller keeps the compressed bytes received so far in a file
// of its own; a new decoder replays them from there (fast, local) and the
// download continues from that compressed offset with Range.
#pragma once

#include "pelvane/deltas/CodecStatus.h"
#include "platform/MappedFile.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace pelvane::deltas
{
struct ObjectExpectation
{
    std::uint64_t compressedSize = 0;
    std::string compressedSha256; // hex
    std::uint64_t size = 0;       // the file's declared size
    std::string sha256;           // the file's SHA-256 (hex); empty: the caller checks it
};

class ObjectDecoder
{
public:
    ObjectDecoder();
    ~ObjectDecoder();
    ObjectDecoder(const ObjectDecoder&) = delete;
    ObjectDecoder& operator=(const ObjectDecoder&) = delete;

    // outFd: the part file, open for reading and writing; it is made exactly
    // expected.size bytes long (its blocks reserved: a full disk shows
    // here). cancel is looked at between pieces of at most 128 KiB of input.
    CodecStatus open(int outFd, const ObjectExpectation& expected,
                     const std::atomic<bool>* cancel = nullptr);
    // Feeds the first `length` bytes of the file open as compressedFd (the
    // kept partial compressed object), before the download goes on.
    CodecStatus replay(int compressedFd, std::uint64_t length);
    // The next compressed bytes. A failure is final for this decoder.
    CodecStatus feed(const void* data, std::size_t size);
    // After the last compressed byte.
    CodecStatus finish();

    std::uint64_t compressedReceived() const { return m_received; }
    std::uint64_t produced() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
    std::uint64_t m_received = 0;
};

// One frame of a framed object (a compressed chunk) into out, which has room
// for exactly size bytes: the frame must be one whole frame decoding to
// exactly size bytes.
CodecStatus decompressChunk(const void* compressed, std::size_t compressedSize, void* out,
                            std::size_t size);
} // namespace pelvane::deltas
