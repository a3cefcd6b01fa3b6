#include "pelvane/deltas/ObjectDecoder.h"

#include "pelvane/base/Sha256.h"
#include "pelvane/deltas/OutputFile.h"
#include "pelvane/deltas/Zstd.h"
#include "platform/SystemCalls.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace pelvane::deltas
{
namespace
{
constexpr std::size_t REPLAY_BUFFER = 1 << 20;
} // namespace

struct ObjectDecoder::State
{
    ObjectExpectation expected;
    const std::atomic<bool>* cancel = nullptr;
    OutputFile output;
    zstd::Decompressor context;
    ZSTD_outBuffer window{nullptr, 0, 0};
    Sha256 compressedDigest;
    std::size_t lastHint = 1; // 0 once a frame has ended at the last byte fed
    CodecStatus failed;
};

ObjectDecoder::ObjectDecoder() = default;
ObjectDecoder::~ObjectDecoder() = default;

std::uint64_t ObjectDecoder::produced() const
{
    return m_state ? m_state->window.pos : 0;
}

CodecStatus ObjectDecoder::open(int outFd, const ObjectExpectation& expected,
                                const std::atomic<bool>* cancel)
{
    m_state = std::make_unique<State>();
    m_received = 0;
    State& state = *m_state;
    state.expected = expected;
    state.cancel = cancel;
    if (const int error = state.output.open(outFd, expected.size))
    {
        state.failed = CodecStatus::disk(error, "preparing the part file");
        return state.failed;
    }
    state.context = zstd::makeDecompressor(zstd::MAX_WINDOW_LOG, true);
    if (!state.context)
    {
        state.failed = CodecStatus::failure(CodecError::Memory, "no zstd context");
        return state.failed;
    }
    state.window = {state.output.data(), static_cast<std::size_t>(expected.size), 0};
    return CodecStatus::success();
}

CodecStatus ObjectDecoder::feed(const void* data, std::size_t size)
{
    if (!m_state)
    {
        return CodecStatus::failure(CodecError::Unsupported, "decoder not open");
    }
    State& state = *m_state;
    if (!state.failed.ok())
    {
        return state.failed;
    }
    if (size > state.expected.compressedSize - m_received)
    {
        state.failed = CodecStatus::failure(
            CodecError::TooLarge, "more than the " + std::to_string(state.expected.compressedSize) +
                                      " compressed bytes announced");
        return state.failed;
    }
    state.compressedDigest.update(data, size);
    m_received += size;
    state.failed = zstd::decodeIntoStable(state.context.get(), state.window,
                                          static_cast<const unsigned char*>(data), size,
                                          state.cancel, state.lastHint, {});
    return state.failed;
}

CodecStatus ObjectDecoder::replay(int compressedFd, std::uint64_t length)
{
    std::vector<unsigned char> buffer(REPLAY_BUFFER);
    for (std::uint64_t at = 0; at < length;)
    {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - at));
        const std::int64_t got =
            platform::SystemCalls::readAt(compressedFd, buffer.data(), want, at);
        if (got <= 0)
        {
            return CodecStatus::disk(got < 0 ? errno : EIO, "reading the kept compressed bytes");
        }
        const CodecStatus status = feed(buffer.data(), static_cast<std::size_t>(got));
        if (!status.ok())
        {
            return status;
        }
        at += static_cast<std::uint64_t>(got);
    }
    return CodecStatus::success();
}

CodecStatus ObjectDecoder::finish()
{
    if (!m_state)
    {
        return CodecStatus::failure(CodecError::Unsupported, "decoder not open");
    }
    State& state = *m_state;
    if (!state.failed.ok())
    {
        return state.failed;
    }
    const ObjectExpectation& expected = state.expected;
    if (m_received < expected.compressedSize)
    {
        return CodecStatus::failure(
            CodecError::Truncated, "compressed object ended after " + std::to_string(m_received) +
                                       " of " + std::to_string(expected.compressedSize) + " bytes");
    }
    if (!digestsEqual(expected.compressedSha256, state.compressedDigest.finishHex()))
    {
        return CodecStatus::failure(CodecError::WrongInput, "compressed bytes fail their SHA-256");
    }
    if (state.lastHint != 0)
    {
        return CodecStatus::failure(CodecError::Truncated, "the last frame is not complete");
    }
    if (state.window.pos != expected.size)
    {
        return CodecStatus::failure(CodecError::Corrupt,
                                    "decodes to " + std::to_string(state.window.pos) + " of the " +
                                        std::to_string(expected.size) + " bytes declared");
    }
    if (!expected.sha256.empty())
    {
        Sha256 digest;
        digest.update(state.output.data(), state.window.pos);
        if (!digestsEqual(expected.sha256, digest.finishHex()))
        {
            return CodecStatus::failure(CodecError::WrongTarget, "the file fails its SHA-256");
        }
    }
    return CodecStatus::disk(state.output.flush(), "writing the part file");
}

CodecStatus decompressChunk(const void* compressed, std::size_t compressedSize, void* out,
                            std::size_t size)
{
    const unsigned long long declared = ZSTD_getFrameContentSize(compressed, compressedSize);
    if (declared == ZSTD_CONTENTSIZE_ERROR)
    {
        return CodecStatus::failure(CodecError::Corrupt, "not a zstd frame");
    }
    if (declared != ZSTD_CONTENTSIZE_UNKNOWN && declared > size)
    {
        return CodecStatus::failure(CodecError::TooLarge,
                                    "frame declares " + std::to_string(declared) + " bytes");
    }
    if (ZSTD_findFrameCompressedSize(compressed, compressedSize) != compressedSize)
    {
        return CodecStatus::failure(CodecError::Corrupt, "not exactly one frame");
    }
    zstd::Decompressor context = zstd::makeDecompressor(zstd::MAX_WINDOW_LOG, false);
    if (!context)
    {
        return CodecStatus::failure(CodecError::Memory, "no zstd context");
    }
    const std::size_t written =
        ZSTD_decompressDCtx(context.get(), out, size, compressed, compressedSize);
    CodecStatus status = zstd::decodeStatus(written);
    if (status.ok() && written != size)
    {
        status = CodecStatus::failure(CodecError::Corrupt, "frame decodes to " +
                                                               std::to_string(written) + " of " +
                                                               std::to_string(size) + " bytes");
    }
    return status;
}
} // namespace pelvane::deltas
