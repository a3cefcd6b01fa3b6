// The bsdiff-class delta: matches found through a suffix array of the
// source (libdivsufsort), written as zstd streams: control (per step: bytes
// to add to the source, bytes to take new, and how far to move in the
// source, as varints), the diff (the target minus the source where they
// approximately match: mostly zeros) and extra (new bytes).
//
// Two layouts of the diff. Dense (method 1, still applied, no longer made):
// the diff bytes as one stream. Sparse (method 4): two streams, the length
// of each run of zeros before a byte that is not zero (varints), and those
// bytes; zeros after the last one are implied. zstd models the scattered
// small differences of relocated code and pointer tables far worse amid
// their zero runs than apart from them: 6 % smaller on a JVM's libjvm.so,
// 12 % on its class-data archive, 38 % on a table of class signatures.
// Internal to the layer: DeltaCodec puts the common header in front.
#pragma once

#include "pelvane/deltas/CodecStatus.h"
#include "pelvane/deltas/TargetWriter.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace pelvane::deltas
{
using Bytes = std::span<const unsigned char>;

struct SuffixOptions
{
    int streamLevel = 19;
    // The streams' windows bound the applier's memory: control and extra
    // take this one, the sparse diff's two streams half of it each.
    int streamWindowLog = 23;
    const std::atomic<bool>* cancel = nullptr;
};

// The largest source the 32-bit suffix array takes.
inline constexpr std::uint64_t SUFFIX_MAX_SOURCE = 0x7FFFFFF0;

enum class DiffLayout
{
    Dense,
    Sparse,
};

// Appends the method's payload for (source, target) to out, sparse.
CodecStatus makeSuffixPayload(Bytes source, Bytes target, const SuffixOptions& options,
                              std::string& out);

// Where the applier reads the source: the mapped file itself, or a
// transformed view of it (method 3). Returns the bytes [offset, offset +
// length), length at most 1 MiB, valid until the next call.
using SourceReader = std::function<const unsigned char*(std::uint64_t offset, std::size_t length)>;

// Writes the target described by payload into out (all of out.size()
// bytes); `produced` is told after each piece how many bytes are final.
CodecStatus applySuffixPayload(std::uint64_t sourceSize, const SourceReader& source, Bytes payload,
                               DiffLayout layout, TargetWriter& out,
                               const std::atomic<bool>* cancel,
                               const std::function<void(std::uint64_t)>& produced);
} // namespace pelvane::deltas
