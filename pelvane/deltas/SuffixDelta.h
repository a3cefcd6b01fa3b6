// The bsdiff-class delta (method 1): matches found through a suffix array
// of the source (libdivsufsort), written as three zstd streams: control
// (per step: bytes to add to the source, bytes to take new, and how far to
// move in the source, as varints), diff (the target minus the source
// where they approximately match: mostly zeros) and extra (new bytes).
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
    // The streams' windows bound the applier's memory (three of them).
    int streamWindowLog = 23;
    const std::atomic<bool>* cancel = nullptr;
};

// The largest source the 32-bit suffix array takes.
inline constexpr std::uint64_t SUFFIX_MAX_SOURCE = 0x7FFFFFF0;

// Appends the method's payload for (source, target) to out.
CodecStatus makeSuffixPayload(Bytes source, Bytes target, const SuffixOptions& options,
                              std::string& out);

// Where the applier reads the source: the mapped file itself, or a
// transformed view of it (method 3). Returns the bytes [offset, offset +
// length), length at most 1 MiB, valid until the next call.
using SourceReader = std::function<const unsigned char*(std::uint64_t offset, std::size_t length)>;

// Writes the target described by payload into out (all of out.size()
// bytes); `produced` is told after each piece how many bytes are final.
CodecStatus applySuffixPayload(std::uint64_t sourceSize, const SourceReader& source, Bytes payload,
                               TargetWriter& out, const std::atomic<bool>* cancel,
                               const std::function<void(std::uint64_t)>& produced);
} // namespace pelvane::deltas
