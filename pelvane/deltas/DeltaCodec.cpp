#include "pelvane/deltas/DeltaCodec.h"

#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/deltas/OutputFile.h"
#include "pelvane/deltas/PatchFromDelta.h"
#include "pelvane/deltas/TargetWriter.h"
#include "pelvane/deltas/Varint.h"
#include "platform/FileDescriptor.h"
#include "platform/MappedFile.h"

#include <algorithm>
#include <cerrno>

namespace pelvane::deltas
{
namespace
{
constexpr std::size_t PIECE = 1 << 20;
// the first byte of a suffix delta, by the layout of its diff
constexpr unsigned char DENSE_SUFFIX_BYTE = 1;
constexpr unsigned char SPARSE_SUFFIX_BYTE = 4;

Bytes bytesOf(const platform::MappedFile& map)
{
    return {map.data(), static_cast<std::size_t>(map.size())};
}

bool stopped(const std::atomic<bool>* cancel)
{
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

// Hashes the source in pieces, so that a cancel is seen.
CodecStatus checkSource(Bytes source, const std::string& expectedSha256,
                        const std::atomic<bool>* cancel)
{
    Sha256 digest;
    for (std::size_t at = 0; at < source.size(); at += PIECE)
    {
        if (stopped(cancel))
        {
            return CodecStatus::failure(CodecError::Canceled);
        }
        digest.update(source.data() + at, std::min(PIECE, source.size() - at));
    }
    if (!digestsEqual(expectedSha256, digest.finishHex()))
    {
        return CodecStatus::failure(CodecError::WrongSource,
                                    "the source fails the delta's SHA-256");
    }
    return CodecStatus::success();
}
} // namespace

const char* deltaMethodName(DeltaMethod method)
{
    switch (method)
    {
    case DeltaMethod::Suffix:
        return "suffix";
    case DeltaMethod::PatchFrom:
        return "patch-from";
    }
    return "unknown";
}

bool readDeltaHeader(Bytes delta, DeltaHeader& header)
{
    if (delta.empty())
    {
        return false;
    }
    switch (delta[0])
    {
    case DENSE_SUFFIX_BYTE:
        header.method = DeltaMethod::Suffix;
        header.layout = DiffLayout::Dense;
        break;
    case SPARSE_SUFFIX_BYTE:
        header.method = DeltaMethod::Suffix;
        header.layout = DiffLayout::Sparse;
        break;
    case static_cast<unsigned char>(DeltaMethod::PatchFrom):
        header.method = DeltaMethod::PatchFrom;
        break;
    default:
        return false;
    }
    const unsigned char* at = delta.data() + 1;
    const unsigned char* end = delta.data() + delta.size();
    if (!varint::get(at, end, header.sourceSize) || !varint::get(at, end, header.targetSize))
    {
        return false;
    }
    header.payloadOffset = static_cast<std::size_t>(at - delta.data());
    return true;
}

bool deltaMethodApplies(DeltaMethod method, std::uint64_t sourceSize)
{
    switch (method)
    {
    case DeltaMethod::Suffix:
        return sourceSize <= SUFFIX_MAX_SOURCE;
    case DeltaMethod::PatchFrom:
        return true;
    }
    return false;
}

CodecStatus makeDelta(DeltaMethod method, Bytes source, Bytes target, const DeltaOptions& options,
                      std::string& delta)
{
    delta.clear();
    delta.push_back(static_cast<char>(method == DeltaMethod::Suffix ? SPARSE_SUFFIX_BYTE
                                                                    : static_cast<unsigned char>(method)));
    varint::put(delta, source.size());
    varint::put(delta, target.size());
    if (!deltaMethodApplies(method, source.size()))
    {
        return CodecStatus::failure(CodecError::Unsupported, std::string("method ") +
                                                                 deltaMethodName(method) +
                                                                 " does not apply");
    }
    switch (method)
    {
    case DeltaMethod::Suffix:
    {
        SuffixOptions suffix = options.suffix;
        suffix.cancel = options.cancel;
        return makeSuffixPayload(source, target, suffix, delta);
    }
    case DeltaMethod::PatchFrom:
    {
        const bool deep = source.size() + target.size() <= DeltaOptions::DEEP_PATCH_BYTES;
        return makePatchFromPayload(source, target,
                                    deep ? options.patchFromLevel
                                         : std::min(options.patchFromLevel, 19),
                                    delta);
    }
    }
    return CodecStatus::failure(CodecError::Unsupported, "unknown method");
}

CodecStatus chooseDelta(const std::string& sourcePath, const std::string& targetPath,
                        std::uint64_t beat, const DeltaOptions& options, DeltaChoice& choice,
                        DeltaStore* store)
{
    choice = {};
    platform::MappedFile source;
    platform::MappedFile target;
    bool mapped = false;
    // the files are mapped only when a blob has to be made
    const auto map = [&]() -> CodecStatus
    {
        if (mapped)
        {
            return CodecStatus::success();
        }
        if (const int error = source.mapForReading(sourcePath))
        {
            return CodecStatus::disk(error, "reading " + sourcePath);
        }
        if (const int error = target.mapForReading(targetPath))
        {
            return CodecStatus::disk(error, "reading " + targetPath);
        }
        mapped = true;
        return CodecStatus::success();
    };
    std::uint64_t sourceSize = 0;
    if (const int error = safefiles::regularFileSize(sourcePath, sourceSize))
    {
        return CodecStatus::disk(error, "reading " + sourcePath);
    }
    bool found = false;
    for (const DeltaMethod method : options.methods)
    {
        if (!deltaMethodApplies(method, sourceSize))
        {
            continue;
        }
        std::string delta;
        if (store == nullptr || !store->find(method, delta))
        {
            CodecStatus status = map();
            if (status.ok())
            {
                status = makeDelta(method, bytesOf(source), bytesOf(target), options, delta);
            }
            if (!status.ok())
            {
                return status;
            }
            if (store != nullptr)
            {
                store->keep(method, delta);
            }
        }
        choice.sizes.emplace_back(method, delta.size());
        if (!found || delta.size() < choice.delta.size())
        {
            choice.method = method;
            choice.delta = std::move(delta);
            found = true;
        }
    }
    if (!found)
    {
        return CodecStatus::failure(CodecError::Unsupported, "no method applies");
    }
    choice.kept = choice.delta.size() < beat;
    if (!choice.kept)
    {
        choice.delta.clear();
    }
    return CodecStatus::success();
}

CodecStatus applyDelta(const std::string& sourcePath, Bytes delta, int outFd,
                       const DeltaExpectation& expected, const std::atomic<bool>* cancel)
{
    DeltaHeader header;
    if (!readDeltaHeader(delta, header))
    {
        // method 3 is reserved for a transform this build does not make
        return CodecStatus::failure(!delta.empty() && delta[0] == 3 ? CodecError::Unsupported
                                                                    : CodecError::Corrupt,
                                    "not a delta this build applies");
    }
    if (header.targetSize != expected.targetSize)
    {
        return CodecStatus::failure(CodecError::WrongInput,
                                    "the delta makes " + std::to_string(header.targetSize) +
                                        " bytes, " + std::to_string(expected.targetSize) +
                                        " declared");
    }
    platform::MappedFile source;
    if (const int error = source.mapForReading(sourcePath, SMALL_FILE))
    {
        return CodecStatus::disk(error, "reading " + sourcePath);
    }
    if (source.size() != header.sourceSize)
    {
        return CodecStatus::failure(CodecError::WrongSource, "the source has " +
                                                                 std::to_string(source.size()) +
                                                                 " bytes, the delta wants " +
                                                                 std::to_string(header.sourceSize));
    }
    CodecStatus status = expected.sourceHashed
                             ? CodecStatus::success()
                             : checkSource(bytesOf(source), expected.sourceSha256, cancel);
    if (!status.ok())
    {
        return status;
    }
    TargetWriter out;
    if (status = out.open(outFd, expected.targetSize); !status.ok())
    {
        return status;
    }
    const Bytes payload = delta.subspan(header.payloadOffset);
    switch (header.method)
    {
    case DeltaMethod::Suffix:
        status = applySuffixPayload(
            source.size(),
            [&](std::uint64_t offset, std::size_t) { return source.data() + offset; }, payload,
            header.layout, out,
            cancel, [&](std::uint64_t produced) { out.commit(produced); });
        break;
    case DeltaMethod::PatchFrom:
        status = applyPatchFromPayload(bytesOf(source), payload, out, cancel);
        break;
    }
    return status.ok() ? out.verify(expected.targetSha256) : status;
}

CodecStatus applyDeltaFile(const std::string& sourcePath, const std::string& deltaPath, int outFd,
                           const DeltaExpectation& expected, const std::atomic<bool>* cancel)
{
    platform::MappedFile delta;
    if (const int error = delta.mapForReading(deltaPath))
    {
        return CodecStatus::disk(error, "reading " + deltaPath);
    }
    return applyDelta(sourcePath, bytesOf(delta), outFd, expected, cancel);
}
} // namespace pelvane::deltas
