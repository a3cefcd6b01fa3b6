#include "pelvane/deltas/ObjectCompressor.h"

#include "pelvane/base/Sha256.h"
#include "pelvane/deltas/Zstd.h"
#include "platform/MappedFile.h"

#include <algorithm>

namespace pelvane::deltas
{
namespace
{
constexpr std::size_t SLICE = 1 << 20;

bool canceled(const CompressionOptions& options)
{
    return options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed);
}

// Writes to the sink and hashes on the way.
class HashedSink
{
public:
    HashedSink(ByteSink& out, CompressedObject& object) : m_out(out), m_object(object) {}
    CodecStatus write(const void* data, std::size_t size)
    {
        if (const int error = m_out.write(data, size))
        {
            return CodecStatus::disk(error, "writing the compressed object");
        }
        m_digest.update(data, size);
        m_object.size += size;
        return CodecStatus::success();
    }
    void finish() { m_object.sha256 = m_digest.finishHex(); }

private:
    ByteSink& m_out;
    CompressedObject& m_object;
    Sha256 m_digest;
};

CodecStatus mapSource(const std::string& path, platform::MappedFile& source)
{
    if (const int error = source.mapForReading(path))
    {
        return CodecStatus::disk(error, "reading " + path);
    }
    return CodecStatus::success();
}
} // namespace

CodecStatus compressWhole(const std::string& sourcePath, ByteSink& out,
                          const CompressionOptions& options, CompressedObject& object)
{
    object = {};
    platform::MappedFile source;
    CodecStatus status = mapSource(sourcePath, source);
    if (!status.ok())
    {
        return status;
    }
    const int windowLog = std::min(options.windowLogMax, zstd::windowLogFor(source.size()));
    zstd::Compressor context = zstd::makeCompressor(options.level, windowLog, options.workers);
    if (!context)
    {
        return CodecStatus::failure(CodecError::Memory, "no zstd context");
    }
    ZSTD_CCtx_setPledgedSrcSize(context.get(), source.size());
    HashedSink sink(out, object);
    std::string buffer(ZSTD_CStreamOutSize(), '\0');
    std::uint64_t done = 0;
    for (;;)
    {
        if (canceled(options))
        {
            return CodecStatus::failure(CodecError::Canceled);
        }
        const std::size_t slice =
            static_cast<std::size_t>(std::min<std::uint64_t>(SLICE, source.size() - done));
        const bool last = done + slice == source.size();
        ZSTD_inBuffer input{source.data() + done, slice, 0};
        std::size_t remaining = 0;
        do
        {
            ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
            remaining = ZSTD_compressStream2(context.get(), &output, &input,
                                             last ? ZSTD_e_end : ZSTD_e_continue);
            status = zstd::encodeStatus(remaining);
            if (status.ok() && output.pos > 0)
            {
                status = sink.write(buffer.data(), output.pos);
            }
            if (!status.ok())
            {
                return status;
            }
        } while (last ? remaining != 0 : input.pos < input.size);
        done += slice;
        if (last)
        {
            break;
        }
    }
    sink.finish();
    return CodecStatus::success();
}

CodecStatus compressFramed(const std::string& sourcePath,
                           const std::vector<std::uint32_t>& pieceLengths, ByteSink& out,
                           const CompressionOptions& options, CompressedObject& object)
{
    object = {};
    platform::MappedFile source;
    CodecStatus status = mapSource(sourcePath, source);
    if (!status.ok())
    {
        return status;
    }
    std::uint64_t total = 0;
    for (const std::uint32_t length : pieceLengths)
    {
        total += length;
    }
    if (total != source.size())
    {
        return CodecStatus::failure(CodecError::WrongInput, "pieces of " + std::to_string(total) +
                                                                " bytes for a file of " +
                                                                std::to_string(source.size()));
    }
    // ZSTD_compress2 sizes its tables (and the window) to each piece
    zstd::Compressor context = zstd::makeCompressor(options.level, 0);
    if (!context)
    {
        return CodecStatus::failure(CodecError::Memory, "no zstd context");
    }
    HashedSink sink(out, object);
    std::string buffer;
    std::uint64_t offset = 0;
    std::uint64_t sinceCheck = 0;
    for (const std::uint32_t length : pieceLengths)
    {
        if (sinceCheck >= SLICE)
        {
            if (canceled(options))
            {
                return CodecStatus::failure(CodecError::Canceled);
            }
            sinceCheck = 0;
        }
        buffer.resize(ZSTD_compressBound(length));
        const std::size_t written = ZSTD_compress2(context.get(), buffer.data(), buffer.size(),
                                                   source.data() + offset, length);
        status = zstd::encodeStatus(written);
        if (status.ok())
        {
            status = sink.write(buffer.data(), written);
        }
        if (!status.ok())
        {
            return status;
        }
        object.frames.push_back(static_cast<std::uint32_t>(written));
        offset += length;
        sinceCheck += length;
    }
    sink.finish();
    return CodecStatus::success();
}

CodecStatus compressBytes(const void* data, std::size_t size, int level, std::string& out)
{
    zstd::Compressor context = zstd::makeCompressor(level, zstd::windowLogFor(size));
    if (!context)
    {
        return CodecStatus::failure(CodecError::Memory, "no zstd context");
    }
    out.resize(ZSTD_compressBound(size));
    const std::size_t written = ZSTD_compress2(context.get(), out.data(), out.size(), data, size);
    const CodecStatus status = zstd::encodeStatus(written);
    out.resize(status.ok() ? written : 0);
    return status;
}
} // namespace pelvane::deltas
