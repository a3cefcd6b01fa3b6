#include "pelvane/deltas/Zstd.h"

#include <zstd_errors.h>

#include <algorithm>
#include <array>

namespace pelvane::deltas::zstd
{
namespace
{
// What a thread keeps between decodes: a suffix delta reads four streams at
// once. A context that grew window buffers for a large frame is freed, so
// that the spares stay at about 100 KiB each.
constexpr std::size_t SPARES = 4;
constexpr std::size_t SPARE_SIZE_MAX = 256 * 1024;

struct Spares
{
    std::array<ZSTD_DCtx*, SPARES> contexts{};
    std::size_t count = 0;

    ~Spares()
    {
        for (std::size_t i = 0; i < count; ++i)
        {
            ZSTD_freeDCtx(contexts[i]);
        }
    }
};

Spares& spares()
{
    thread_local Spares kept;
    return kept;
}
} // namespace

void DecompressorDeleter::operator()(ZSTD_DCtx* context) const noexcept
{
    Spares& kept = spares();
    if (kept.count < SPARES && ZSTD_sizeof_DCtx(context) <= SPARE_SIZE_MAX &&
        !ZSTD_isError(ZSTD_DCtx_reset(context, ZSTD_reset_session_and_parameters)))
    {
        kept.contexts[kept.count++] = context;
        return;
    }
    ZSTD_freeDCtx(context);
}

int windowLogFor(std::uint64_t bytes)
{
    int log = 10;
    while (log < MAX_WINDOW_LOG && (std::uint64_t{1} << log) < bytes)
    {
        ++log;
    }
    return log;
}

Compressor makeCompressor(int level, int windowLog, int workers)
{
    Compressor context(ZSTD_createCCtx());
    if (context)
    {
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, level);
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog);
        if (windowLog > 23)
        {
            ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1);
        }
        if (workers > 0)
        {
            // a build without threads refuses it and compresses in this thread
            ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers, workers);
        }
    }
    return context;
}

Decompressor makeDecompressor(int windowLogMax, bool stableOutput)
{
    Spares& kept = spares();
    Decompressor context(kept.count > 0 ? kept.contexts[--kept.count] : ZSTD_createDCtx());
    if (context)
    {
        ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, windowLogMax);
        if (stableOutput)
        {
            ZSTD_DCtx_setParameter(context.get(), ZSTD_d_stableOutBuffer, 1);
        }
    }
    return context;
}

CodecStatus decodeStatus(std::size_t result)
{
    if (!ZSTD_isError(result))
    {
        return CodecStatus::success();
    }
    const std::string text = std::string("zstd: ") + ZSTD_getErrorName(result);
    switch (ZSTD_getErrorCode(result))
    {
    case ZSTD_error_dstSize_tooSmall:
        return CodecStatus::failure(CodecError::TooLarge, text);
    case ZSTD_error_memory_allocation:
        return CodecStatus::failure(CodecError::Memory, text);
    case ZSTD_error_frameParameter_windowTooLarge:
        return CodecStatus::failure(CodecError::Unsupported, text);
    default:
        return CodecStatus::failure(CodecError::Corrupt, text);
    }
}

CodecStatus encodeStatus(std::size_t result)
{
    if (!ZSTD_isError(result))
    {
        return CodecStatus::success();
    }
    const std::string text = std::string("zstd: ") + ZSTD_getErrorName(result);
    return CodecStatus::failure(ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation
                                    ? CodecError::Memory
                                    : CodecError::Unsupported,
                                text);
}

CodecStatus decodeIntoStable(ZSTD_DCtx* context, ZSTD_outBuffer& output, const unsigned char* data,
                             std::size_t size, const std::atomic<bool>* cancel,
                             std::size_t& frameHint, const std::function<void()>& afterSlice)
{
    constexpr std::size_t slice = 128 * 1024;
    for (std::size_t at = 0; at < size;)
    {
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed))
        {
            return CodecStatus::failure(CodecError::Canceled);
        }
        ZSTD_inBuffer input{data + at, std::min(slice, size - at), 0};
        while (input.pos < input.size)
        {
            const std::size_t inputBefore = input.pos;
            const std::size_t outputBefore = output.pos;
            const std::size_t hint = ZSTD_decompressStream(context, &output, &input);
            CodecStatus status = decodeStatus(hint);
            if (status.ok() && input.pos == inputBefore && output.pos == outputBefore)
            {
                // the output is full and the frame still wants room
                status = CodecStatus::failure(CodecError::TooLarge,
                                              "decodes to more than the " +
                                                  std::to_string(output.size) + " bytes declared");
            }
            if (!status.ok())
            {
                return status;
            }
            frameHint = hint;
        }
        at += input.size;
        if (afterSlice)
        {
            afterSlice();
        }
    }
    return CodecStatus::success();
}
} // namespace pelvane::deltas::zstd
