#include "pelvane/deltas/PatchFromDelta.h"

#include "pelvane/deltas/Zstd.h"

namespace pelvane::deltas
{
CodecStatus makePatchFromPayload(Bytes source, Bytes target, int level, std::string& out,
                                 int workers)
{
    zstd::Compressor context =
        zstd::makeCompressor(level, zstd::windowLogFor(source.size() + target.size()), workers);
    if (!context)
    {
        return CodecStatus::failure(CodecError::Memory, "no zstd context");
    }
    CodecStatus status =
        zstd::encodeStatus(ZSTD_CCtx_refPrefix(context.get(), source.data(), source.size()));
    if (!status.ok())
    {
        return status;
    }
    const std::size_t start = out.size();
    out.resize(start + ZSTD_compressBound(target.size()));
    const std::size_t written = ZSTD_compress2(context.get(), out.data() + start,
                                               out.size() - start, target.data(), target.size());
    status = zstd::encodeStatus(written);
    out.resize(status.ok() ? start + written : start);
    return status;
}

CodecStatus applyPatchFromPayload(Bytes source, Bytes payload, TargetWriter& out,
                                  const std::atomic<bool>* cancel)
{
    zstd::Decompressor context = zstd::makeDecompressor(zstd::MAX_WINDOW_LOG, true);
    if (!context)
    {
        return CodecStatus::failure(CodecError::Memory, "no zstd context");
    }
    CodecStatus status =
        zstd::decodeStatus(ZSTD_DCtx_refPrefix(context.get(), source.data(), source.size()));
    if (!status.ok())
    {
        return status;
    }
    ZSTD_outBuffer output{out.data(), static_cast<std::size_t>(out.size()), 0};
    std::size_t frameHint = 1;
    status = zstd::decodeIntoStable(context.get(), output, payload.data(), payload.size(), cancel,
                                    frameHint, [&] { out.commit(output.pos); });
    if (status.ok() && frameHint != 0)
    {
        status = CodecStatus::failure(CodecError::Truncated, "the patch-from frame is cut");
    }
    return status;
}
} // namespace pelvane::deltas
