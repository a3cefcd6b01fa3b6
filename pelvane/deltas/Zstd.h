// The layer's own door to libzstd: one owner per context, the window size
// for a number of bytes, and the translation of zstd's error codes into
// CodecStatus. Only the layer's .cpp files include it.
#pragma once

#define ZSTD_STATIC_LINKING_ONLY // the stable output buffer and the window limits
#include <zstd.h>

#include "pelvane/deltas/CodecStatus.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace pelvane::deltas::zstd
{
struct CompressorDeleter
{
    void operator()(ZSTD_CCtx* context) const noexcept { ZSTD_freeCCtx(context); }
};
// Gives the context back to its thread's few spare ones when it is small,
// frees it otherwise.
struct DecompressorDeleter
{
    void operator()(ZSTD_DCtx* context) const noexcept;
};
using Compressor = std::unique_ptr<ZSTD_CCtx, CompressorDeleter>;
using Decompressor = std::unique_ptr<ZSTD_DCtx, DecompressorDeleter>;

inline constexpr int MAX_WINDOW_LOG = 31;

// The smallest window (as a power of two, at least 2^10) that spans bytes.
int windowLogFor(std::uint64_t bytes);

// A compressor at level with a window of 2^windowLog (long-distance
// matching above 8 MiB, as zstd --long does; 0: the level's own window,
// fitted to the input), on `workers` threads of zstd's own besides the
// caller's (0: all in the caller's thread); null when out of memory.
Compressor makeCompressor(int level, int windowLog, int workers = 0);
// A decompressor that accepts windows up to 2^windowLogMax (a spare one of
// this thread when it has one: a thousand small deltas would otherwise
// allocate and free a thousand sets of contexts); with stableOutput it
// writes straight into the caller's buffer, which then serves as the
// window, so that no window buffer is allocated.
Decompressor makeDecompressor(int windowLogMax, bool stableOutput);

// The status for zstd's result code when it is an error (ok otherwise):
// an output that does not fit is a bomb, no memory is Memory, the rest is
// corrupt data.
CodecStatus decodeStatus(std::size_t result);
// The status of a compressor's result code.
CodecStatus encodeStatus(std::size_t result);

// Decodes size bytes into a decompressor with a stable output buffer, in
// slices of at most 128 KiB, looking at cancel and calling afterSlice
// between them. frameHint is zstd's last answer: 0 when a frame ended at
// the last byte. Output that does not fit is TooLarge.
CodecStatus decodeIntoStable(ZSTD_DCtx* context, ZSTD_outBuffer& output, const unsigned char* data,
                             std::size_t size, const std::atomic<bool>* cancel,
                             std::size_t& frameHint, const std::function<void()>& afterSlice);
} // namespace pelvane::deltas::zstd
