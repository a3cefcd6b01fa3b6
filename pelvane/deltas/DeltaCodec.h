// Binary deltas between two versions of a file. A delta blob is
//
//   method (1 byte) | source size (varint) | target size (varint) | payload
//
// method 1: bsdiff-class with its diff dense, 4: the same with its diff
// sparse (SuffixDelta.h; both are DeltaMethod::Suffix, only 4 is made);
// 2: zstd patch-from (PatchFromDelta.h). Method 3 (the bsdiff-class over a
// branch-target transform of x86 code) is reserved and refused as
// unsupported until it is built. The
// publisher makes every method that applies and keeps the smallest, and only
// when it is smaller than the file's compressed object; the client applies
// whichever it gets, streaming into the mapped target, bounded by the
// target's size, and judges the result by its SHA-256.
#pragma once

#include "pelvane/deltas/CodecStatus.h"
#include "pelvane/deltas/SuffixDelta.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace pelvane::deltas
{
enum class DeltaMethod : std::uint8_t
{
    Suffix = 1,
    PatchFrom = 2,
};

const char* deltaMethodName(DeltaMethod method);

struct DeltaOptions
{
    // Level 20 searches deeper than 19 and finds more of a binary's old code
    // (esbuild 0.27.7 -> 0.28.2: 2,655 -> 2,542 KB, for 30 % more time);
    // beyond DEEP_PATCH_BYTES of source and target together its search
    // tables cost more memory per worker than it earns, and 19 is used.
    static constexpr std::uint64_t DEEP_PATCH_BYTES = 64U << 20;
    int patchFromLevel = 20;
    SuffixOptions suffix;
    // which methods makeSmallestDelta tries
    std::vector<DeltaMethod> methods{DeltaMethod::Suffix, DeltaMethod::PatchFrom};
    const std::atomic<bool>* cancel = nullptr;
};

struct DeltaHeader
{
    DeltaMethod method = DeltaMethod::Suffix;
    DiffLayout layout = DiffLayout::Sparse; // of a Suffix delta
    std::uint64_t sourceSize = 0;
    std::uint64_t targetSize = 0;
    std::size_t payloadOffset = 0;
};

// The header of a blob; false when it is cut or names no known method.
bool readDeltaHeader(Bytes delta, DeltaHeader& header);

// Whether the method can be made from a source of this size at all
// (method 1 needs one under 2 GiB).
bool deltaMethodApplies(DeltaMethod method, std::uint64_t sourceSize);

// One method's delta from source to target, as a whole blob.
CodecStatus makeDelta(DeltaMethod method, Bytes source, Bytes target, const DeltaOptions& options,
                      std::string& delta);

struct DeltaChoice
{
    bool kept = false; // a method beat the limit; delta holds its blob
    DeltaMethod method = DeltaMethod::Suffix;
    std::string delta;
    // every method tried, with its blob's size
    std::vector<std::pair<DeltaMethod, std::uint64_t>> sizes;
};

// Where a chooser finds the blobs it made before (the publisher's cache,
// keyed by the source's and target's SHA-256 and the method), and keeps
// the ones it makes.
class DeltaStore
{
public:
    virtual ~DeltaStore() = default;
    // The method's blob for this pair when one is stored and sound.
    virtual bool find(DeltaMethod method, std::string& delta) = 0;
    virtual void keep(DeltaMethod method, const std::string& delta) = 0;
};

// Every method of options.methods that applies; the smallest blob is kept
// when it is smaller than beat: the target's compressed object, or the
// target itself when it does not shrink. A delta no smaller than that
// would only cost the client a source lookup and an apply. With a store,
// a method's blob found there is taken as it is (neither file is read for
// it) and every blob made is handed to it.
CodecStatus chooseDelta(const std::string& sourcePath, const std::string& targetPath,
                        std::uint64_t beat, const DeltaOptions& options, DeltaChoice& choice,
                        DeltaStore* store = nullptr);

struct DeltaExpectation
{
    std::string
        sourceSha256; // hex: the source is refused before anything is written unless it matches
    std::uint64_t targetSize = 0;
    std::string targetSha256; // hex
    // The caller hashed the source moments ago: it is not read twice (a
    // source changed since then fails the target's SHA-256 instead).
    bool sourceHashed = false;
};

// Applies delta to the file at sourcePath, writing the target into outFd
// (open for reading and writing; made exactly targetSize bytes long).
// cancel is looked at between pieces of at most 1 MiB.
CodecStatus applyDelta(const std::string& sourcePath, Bytes delta, int outFd,
                       const DeltaExpectation& expected, const std::atomic<bool>* cancel);

// The same with the delta in a file (mapped, not read into memory).
CodecStatus applyDeltaFile(const std::string& sourcePath, const std::string& deltaPath, int outFd,
                           const DeltaExpectation& expected, const std::atomic<bool>* cancel);
} // namespace pelvane::deltas
