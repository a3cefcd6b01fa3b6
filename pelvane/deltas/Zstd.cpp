#include "pelvane/deltas/Zstd.h"

#include <zstd_errors.h>

#include <algorithm>

namespace pelvane::deltas::zstd
{
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
    Decompressor context(ZSTD_createDCtx());
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
