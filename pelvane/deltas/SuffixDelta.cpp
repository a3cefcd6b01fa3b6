#include "pelvane/deltas/SuffixDelta.h"

#include "pelvane/deltas/Varint.h"
#include "pelvane/deltas/Zstd.h"

#include <divsufsort.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <semaphore>

namespace pelvane::deltas
{
namespace
{
constexpr std::size_t PIECE = 1 << 20;
// A match this long that the current alignment nearly explains is jumped
// halfway over instead of searched again at every byte: without it, long
// runs that match almost everywhere (zero-filled regions, repeated tables)
// make the search quadratic.
constexpr std::int64_t LONG_MATCH = 256;
constexpr std::uint64_t CONTROLS_PER_CHECK = 4096;

bool stopped(const std::atomic<bool>* cancel)
{
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

// A decode holds stream windows of 24 MiB at most (8 MiB for the control
// and the extra, 8 for the diff's one or two streams). Files decode on
// as many threads as the run has connections; letting only two of them
// decode a suffix delta at a time bounds the client's anonymous memory
// whatever the connection setting, at no cost in speed on two cores.
std::counting_semaphore<> g_decodeSlots(2);

class DecodeSlot
{
public:
    // Waits for a slot; false when cancelled first (looks every 10 ms).
    bool take(const std::atomic<bool>* cancel)
    {
        while (!g_decodeSlots.try_acquire_for(std::chrono::milliseconds(10)))
        {
            if (stopped(cancel))
            {
                return false;
            }
        }
        m_held = true;
        return true;
    }
    ~DecodeSlot()
    {
        if (m_held)
        {
            g_decodeSlots.release();
        }
    }

private:
    bool m_held = false;
};

// One zstd stream built in memory from small appends.
class StreamEncoder
{
public:
    StreamEncoder(int level, int windowLog) : m_context(zstd::makeCompressor(level, windowLog))
    {
        m_pending.reserve(PIECE);
    }
    bool valid() const { return m_context != nullptr; }
    CodecStatus add(const void* data, std::size_t size)
    {
        m_pending.append(static_cast<const char*>(data), size);
        return m_pending.size() >= PIECE ? flush(ZSTD_e_continue) : CodecStatus::success();
    }
    std::string& pending() { return m_pending; }
    CodecStatus settle()
    {
        return m_pending.size() >= PIECE ? flush(ZSTD_e_continue) : CodecStatus::success();
    }
    CodecStatus finish() { return flush(ZSTD_e_end); }
    const std::string& bytes() const { return m_out; }

private:
    CodecStatus flush(ZSTD_EndDirective mode)
    {
        ZSTD_inBuffer input{m_pending.data(), m_pending.size(), 0};
        char buffer[1 << 16];
        std::size_t remaining = 0;
        do
        {
            ZSTD_outBuffer output{buffer, sizeof buffer, 0};
            remaining = ZSTD_compressStream2(m_context.get(), &output, &input, mode);
            const CodecStatus status = zstd::encodeStatus(remaining);
            if (!status.ok())
            {
                return status;
            }
            m_out.append(buffer, output.pos);
        } while (mode == ZSTD_e_end ? remaining != 0 : input.pos < input.size);
        m_pending.clear();
        return CodecStatus::success();
    }

    zstd::Compressor m_context;
    std::string m_pending;
    std::string m_out;
};

std::int64_t matchLength(const unsigned char* a, std::int64_t aSize, const unsigned char* b,
                         std::int64_t bSize)
{
    const std::int64_t limit = std::min(aSize, bSize);
    std::int64_t i = 0;
    while (i + 8 <= limit)
    {
        std::uint64_t x = 0;
        std::uint64_t y = 0;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y)
        {
            return i + __builtin_ctzll(x ^ y) / 8;
        }
        i += 8;
    }
    while (i < limit && a[i] == b[i])
    {
        ++i;
    }
    return i;
}

// The longest match of target[scan...] among the source's suffixes.
class SuffixSearch
{
public:
    SuffixSearch(Bytes source, const saidx_t* suffixes) : m_source(source), m_suffixes(suffixes) {}

    std::int64_t find(const unsigned char* target, std::int64_t size, std::int64_t& position) const
    {
        const auto sourceSize = static_cast<std::int64_t>(m_source.size());
        const unsigned char* source = m_source.data();
        std::int64_t low = 0;
        std::int64_t high = sourceSize - 1;
        while (high - low >= 2)
        {
            const std::int64_t middle = low + (high - low) / 2;
            const std::int64_t at = m_suffixes[middle];
            const std::int64_t length = std::min(sourceSize - at, size);
            if (std::memcmp(source + at, target, static_cast<std::size_t>(length)) < 0)
            {
                low = middle;
            }
            else
            {
                high = middle;
            }
        }
        const std::int64_t lowLength =
            matchLength(source + m_suffixes[low], sourceSize - m_suffixes[low], target, size);
        const std::int64_t highLength =
            matchLength(source + m_suffixes[high], sourceSize - m_suffixes[high], target, size);
        if (lowLength > highLength)
        {
            position = m_suffixes[low];
            return lowLength;
        }
        position = m_suffixes[high];
        return highLength;
    }

private:
    Bytes m_source;
    const saidx_t* m_suffixes;
};

class SuffixMaker
{
public:
    SuffixMaker(Bytes source, Bytes target, const SuffixOptions& options)
        : m_old(source.data()), m_new(target.data()),
          m_oldSize(static_cast<std::int64_t>(source.size())),
          m_newSize(static_cast<std::int64_t>(target.size())),
          m_control(options.streamLevel, options.streamWindowLog),
          m_gaps(options.streamLevel, options.streamWindowLog - 1),
          m_values(options.streamLevel, options.streamWindowLog - 1),
          m_extra(options.streamLevel, options.streamWindowLog), m_cancel(options.cancel)
    {
    }

    CodecStatus run(Bytes source, std::string& out)
    {
        if (!m_control.valid() || !m_gaps.valid() || !m_values.valid() || !m_extra.valid())
        {
            return CodecStatus::failure(CodecError::Memory, "no zstd context");
        }
        CodecStatus status = m_oldSize == 0 ? emit(0, m_newSize, 0) : match(source);
        for (StreamEncoder* stream : {&m_control, &m_gaps, &m_values, &m_extra})
        {
            if (status.ok())
            {
                status = stream->finish();
            }
        }
        if (!status.ok())
        {
            return status;
        }
        varint::put(out, m_control.bytes().size());
        varint::put(out, m_gaps.bytes().size());
        varint::put(out, m_values.bytes().size());
        out += m_control.bytes();
        out += m_gaps.bytes();
        out += m_values.bytes();
        out += m_extra.bytes();
        return CodecStatus::success();
    }

private:
    bool agrees(std::int64_t targetAt, std::int64_t offset) const
    {
        const std::int64_t sourceAt = targetAt + offset;
        return sourceAt >= 0 && sourceAt < m_oldSize && m_old[sourceAt] == m_new[targetAt];
    }

    CodecStatus match(Bytes source)
    {
        std::unique_ptr<saidx_t[]> suffixes;
        try
        {
            suffixes =
                std::make_unique_for_overwrite<saidx_t[]>(static_cast<std::size_t>(m_oldSize));
        }
        catch (const std::bad_alloc&)
        {
            return CodecStatus::failure(CodecError::Memory, "suffix array");
        }
        if (divsufsort(m_old, suffixes.get(), static_cast<saidx_t>(m_oldSize)) != 0)
        {
            return CodecStatus::failure(CodecError::Memory, "divsufsort failed");
        }
        const SuffixSearch search(source, suffixes.get());
        std::int64_t scan = 0;
        std::int64_t length = 0;
        std::int64_t position = 0;
        std::int64_t lastScan = 0;
        std::int64_t lastPosition = 0;
        std::int64_t lastOffset = 0;
        std::int64_t nextCheck = 0;
        while (scan < m_newSize)
        {
            if (scan >= nextCheck)
            {
                if (stopped(m_cancel))
                {
                    return CodecStatus::failure(CodecError::Canceled);
                }
                nextCheck = scan + static_cast<std::int64_t>(PIECE);
            }
            std::int64_t oldScore = 0;
            std::int64_t scored = scan += length;
            for (; scan < m_newSize; ++scan)
            {
                length = search.find(m_new + scan, m_newSize - scan, position);
                for (; scored < scan + length; ++scored)
                {
                    oldScore += agrees(scored, lastOffset) ? 1 : 0;
                }
                if ((length == oldScore && length != 0) || length > oldScore + 8)
                {
                    break;
                }
                std::int64_t leave = 1;
                if (length >= LONG_MATCH)
                {
                    leave = length / 2;
                }
                for (std::int64_t k = 0; k < leave; ++k)
                {
                    oldScore -= agrees(scan + k, lastOffset) ? 1 : 0;
                }
                scan += leave - 1;
            }
            if (length == oldScore && scan != m_newSize)
            {
                continue;
            }
            const CodecStatus status = step(scan, position, lastScan, lastPosition);
            if (!status.ok())
            {
                return status;
            }
            lastOffset = position - scan;
        }
        return CodecStatus::success();
    }

    // Ends the stretch [lastScan, scan): extends the previous match forward
    // and the new one backward, and writes one control with its bytes.
    CodecStatus step(std::int64_t scan, std::int64_t position, std::int64_t& lastScan,
                     std::int64_t& lastPosition)
    {
        std::int64_t forward = 0;
        {
            std::int64_t same = 0;
            std::int64_t best = 0;
            for (std::int64_t i = 0; lastScan + i < scan && lastPosition + i < m_oldSize;)
            {
                same += m_old[lastPosition + i] == m_new[lastScan + i] ? 1 : 0;
                ++i;
                if (same * 2 - i > best * 2 - forward)
                {
                    best = same;
                    forward = i;
                }
            }
        }
        std::int64_t backward = 0;
        if (scan < m_newSize)
        {
            std::int64_t same = 0;
            std::int64_t best = 0;
            for (std::int64_t i = 1; scan >= lastScan + i && position >= i; ++i)
            {
                same += m_old[position - i] == m_new[scan - i] ? 1 : 0;
                if (same * 2 - i > best * 2 - backward)
                {
                    best = same;
                    backward = i;
                }
            }
        }
        if (lastScan + forward > scan - backward)
        {
            const std::int64_t overlap = (lastScan + forward) - (scan - backward);
            std::int64_t same = 0;
            std::int64_t best = 0;
            std::int64_t split = 0;
            for (std::int64_t i = 0; i < overlap; ++i)
            {
                same += m_new[lastScan + forward - overlap + i] ==
                                m_old[lastPosition + forward - overlap + i]
                            ? 1
                            : 0;
                same -= m_new[scan - backward + i] == m_old[position - backward + i] ? 1 : 0;
                if (same > best)
                {
                    best = same;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }
        std::string& gaps = m_gaps.pending();
        std::string& values = m_values.pending();
        for (std::int64_t i = 0; i < forward; ++i)
        {
            const auto difference =
                static_cast<unsigned char>(m_new[lastScan + i] - m_old[lastPosition + i]);
            if (difference == 0)
            {
                ++m_zeros;
                continue;
            }
            varint::put(gaps, m_zeros);
            values.push_back(static_cast<char>(difference));
            m_zeros = 0;
            if (values.size() >= PIECE || gaps.size() >= PIECE)
            {
                CodecStatus status = m_gaps.settle();
                if (status.ok())
                {
                    status = m_values.settle();
                }
                if (!status.ok())
                {
                    return status;
                }
            }
        }
        const std::int64_t extra = (scan - backward) - (lastScan + forward);
        const std::int64_t seek = (position - backward) - (lastPosition + forward);
        CodecStatus status =
            m_extra.add(m_new + lastScan + forward, static_cast<std::size_t>(extra));
        if (status.ok())
        {
            status = emitControl(forward, extra, seek);
        }
        lastScan = scan - backward;
        lastPosition = position - backward;
        return status;
    }

    CodecStatus emit(std::int64_t add, std::int64_t extra, std::int64_t seek)
    {
        const CodecStatus status = m_extra.add(m_new, static_cast<std::size_t>(extra));
        return status.ok() ? emitControl(add, extra, seek) : status;
    }

    CodecStatus emitControl(std::int64_t add, std::int64_t extra, std::int64_t seek)
    {
        std::string control;
        varint::put(control, static_cast<std::uint64_t>(add));
        varint::put(control, static_cast<std::uint64_t>(extra));
        varint::put(control, varint::zigzag(seek));
        return m_control.add(control.data(), control.size());
    }

    const unsigned char* m_old;
    const unsigned char* m_new;
    std::int64_t m_oldSize;
    std::int64_t m_newSize;
    StreamEncoder m_control;
    StreamEncoder m_gaps;
    StreamEncoder m_values;
    StreamEncoder m_extra;
    std::uint64_t m_zeros = 0; // diff bytes since the last one not zero
    const std::atomic<bool>* m_cancel;
};

// Reads one zstd stream of a delta, a piece at a time.
class StreamDecoder
{
public:
    StreamDecoder(Bytes compressed, int windowLogMax)
        : m_context(zstd::makeDecompressor(windowLogMax, false)), m_input{compressed.data(),
                                                                          compressed.size(), 0}
    {
    }
    bool valid() const { return m_context != nullptr; }

    // Up to size bytes into out; fewer only where the stream ends.
    CodecStatus readSome(unsigned char* out, std::size_t size, std::size_t& got)
    {
        ZSTD_outBuffer output{out, size, 0};
        while (output.pos < output.size)
        {
            const std::size_t inputBefore = m_input.pos;
            const std::size_t outputBefore = output.pos;
            const std::size_t hint = ZSTD_decompressStream(m_context.get(), &output, &m_input);
            if (const CodecStatus status = zstd::decodeStatus(hint); !status.ok())
            {
                return status;
            }
            if (m_input.pos == inputBefore && output.pos == outputBefore)
            {
                // after a frame's end zstd answers what a next frame would
                // need; keep the hint of the last call that moved
                break;
            }
            m_hint = hint;
        }
        got = output.pos;
        return CodecStatus::success();
    }

    // Exactly size bytes into out.
    CodecStatus read(unsigned char* out, std::size_t size)
    {
        std::size_t got = 0;
        const CodecStatus status = readSome(out, size, got);
        if (status.ok() && got != size)
        {
            return CodecStatus::failure(CodecError::Truncated, "a delta stream ends early");
        }
        return status;
    }

    // Nothing is left in the stream: every byte read, the frame complete.
    CodecStatus expectEnd()
    {
        unsigned char probe = 0;
        ZSTD_outBuffer output{&probe, 1, 0};
        const std::size_t hint = ZSTD_decompressStream(m_context.get(), &output, &m_input);
        if (const CodecStatus status = zstd::decodeStatus(hint); !status.ok())
        {
            return status;
        }
        if (output.pos != 0 || m_input.pos != m_input.size)
        {
            return CodecStatus::failure(CodecError::Corrupt,
                                        "a delta stream holds more than it uses");
        }
        if (hint != 0 && m_hint != 0)
        {
            return CodecStatus::failure(CodecError::Truncated, "a delta stream is cut");
        }
        return CodecStatus::success();
    }

private:
    zstd::Decompressor m_context;
    ZSTD_inBuffer m_input;
    std::size_t m_hint = 1;
};

class ControlReader
{
public:
    explicit ControlReader(StreamDecoder& stream) : m_stream(stream) {}

    // The next value; Truncated when the stream ends inside the controls.
    CodecStatus next(std::uint64_t& value)
    {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7)
        {
            if (m_at == m_end)
            {
                std::size_t got = 0;
                if (const CodecStatus status = m_stream.readSome(m_buffer, sizeof m_buffer, got);
                    !status.ok())
                {
                    return status;
                }
                if (got == 0)
                {
                    return CodecStatus::failure(CodecError::Truncated, "the controls end early");
                }
                m_at = 0;
                m_end = got;
            }
            const unsigned char byte = m_buffer[m_at++];
            value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0)
            {
                return CodecStatus::success();
            }
        }
        return CodecStatus::failure(CodecError::Corrupt, "a control value runs over 64 bits");
    }

    // Every control byte taken.
    bool drained() const { return m_at == m_end; }

    // Whether the stream holds another value (false at its end).
    CodecStatus more(bool& any)
    {
        any = m_at != m_end;
        if (!any)
        {
            std::size_t got = 0;
            if (const CodecStatus status = m_stream.readSome(m_buffer, sizeof m_buffer, got);
                !status.ok())
            {
                return status;
            }
            m_at = 0;
            m_end = got;
            any = got != 0;
        }
        return CodecStatus::success();
    }

private:
    StreamDecoder& m_stream;
    unsigned char m_buffer[1 << 14];
    std::size_t m_at = 0;
    std::size_t m_end = 0;
};
// The diff bytes of either layout, in order.
class DiffReader
{
public:
    // dense: the diff stream; sparse: the zero runs' and the values' streams
    DiffReader(DiffLayout layout, StreamDecoder& first, StreamDecoder* values)
        : m_layout(layout), m_first(first), m_gaps(first), m_values(values)
    {
    }

    // Exactly size bytes into out.
    CodecStatus read(unsigned char* out, std::size_t size)
    {
        if (m_layout == DiffLayout::Dense)
        {
            return m_first.read(out, size);
        }
        std::size_t filled = 0;
        while (filled < size)
        {
            if (!m_pending && !m_ended)
            {
                bool any = false;
                if (const CodecStatus status = m_gaps.more(any); !status.ok())
                {
                    return status;
                }
                m_ended = !any;
                if (any)
                {
                    if (const CodecStatus status = m_gaps.next(m_zeros); !status.ok())
                    {
                        return status;
                    }
                    m_pending = true;
                }
            }
            if (m_ended)
            {
                std::memset(out + filled, 0, size - filled);
                return CodecStatus::success();
            }
            const std::uint64_t zeros = std::min<std::uint64_t>(m_zeros, size - filled);
            std::memset(out + filled, 0, static_cast<std::size_t>(zeros));
            filled += static_cast<std::size_t>(zeros);
            m_zeros -= zeros;
            if (filled < size)
            {
                if (m_value == m_valuesEnd)
                {
                    if (const CodecStatus status = m_values->readSome(
                            m_buffer, sizeof m_buffer, m_valuesEnd);
                        !status.ok())
                    {
                        return status;
                    }
                    m_value = 0;
                    if (m_valuesEnd == 0)
                    {
                        return CodecStatus::failure(CodecError::Truncated,
                                                    "a delta stream ends early");
                    }
                }
                out[filled++] = m_buffer[m_value++];
                m_pending = false;
            }
        }
        return CodecStatus::success();
    }

    // Nothing of the streams is left unused.
    CodecStatus expectEnd()
    {
        if (m_layout == DiffLayout::Dense)
        {
            return m_first.expectEnd();
        }
        bool any = m_pending;
        if (!any)
        {
            if (const CodecStatus status = m_gaps.more(any); !status.ok())
            {
                return status;
            }
        }
        if (any || m_value != m_valuesEnd)
        {
            return CodecStatus::failure(CodecError::Corrupt, "a delta stream holds more than it uses");
        }
        const CodecStatus status = m_first.expectEnd();
        return status.ok() ? m_values->expectEnd() : status;
    }

private:
    DiffLayout m_layout;
    StreamDecoder& m_first;
    ControlReader m_gaps;
    StreamDecoder* m_values;
    bool m_pending = false; // a run read whose value is not written yet
    bool m_ended = false;   // no run left: zeros to the end
    std::uint64_t m_zeros = 0;
    unsigned char m_buffer[1 << 14];
    std::size_t m_value = 0;
    std::size_t m_valuesEnd = 0;
};
} // namespace

CodecStatus makeSuffixPayload(Bytes source, Bytes target, const SuffixOptions& options,
                              std::string& out)
{
    if (source.size() > SUFFIX_MAX_SOURCE)
    {
        return CodecStatus::failure(CodecError::Unsupported, "source too large for method 1");
    }
    SuffixMaker maker(source, target, options);
    return maker.run(source, out);
}

CodecStatus applySuffixPayload(std::uint64_t sourceSize, const SourceReader& source, Bytes payload,
                               DiffLayout layout, TargetWriter& out,
                               const std::atomic<bool>* cancel,
                               const std::function<void(std::uint64_t)>& produced)
{
    const unsigned char* at = payload.data();
    const unsigned char* const end = at + payload.size();
    // the sizes of every stream but the last (extra)
    std::uint64_t sizes[3] = {};
    const std::size_t counted = layout == DiffLayout::Dense ? 2 : 3;
    for (std::size_t i = 0; i < counted; ++i)
    {
        if (!varint::get(at, end, sizes[i]))
        {
            return CodecStatus::failure(CodecError::Corrupt, "the suffix delta's header");
        }
    }
    std::uint64_t left = static_cast<std::uint64_t>(end - at);
    for (std::size_t i = 0; i < counted; ++i)
    {
        if (sizes[i] > left)
        {
            return CodecStatus::failure(CodecError::Corrupt, "the suffix delta's header");
        }
        left -= sizes[i];
    }
    const auto streamAt = [&](std::size_t i)
    {
        const unsigned char* start = at;
        for (std::size_t k = 0; k < i; ++k)
        {
            start += sizes[k];
        }
        const std::size_t size =
            i < counted ? static_cast<std::size_t>(sizes[i]) : static_cast<std::size_t>(left);
        return Bytes{start, size};
    };
    // the streams were written with windows of at most 2^23 (2^22 for the
    // sparse diff's); a larger one is refused rather than allocated
    constexpr int windowLogMax = 23;
    const int diffWindowLogMax = layout == DiffLayout::Dense ? windowLogMax : windowLogMax - 1;
    DecodeSlot slot;
    if (!slot.take(cancel))
    {
        return CodecStatus::failure(CodecError::Canceled);
    }
    StreamDecoder controls(streamAt(0), windowLogMax);
    StreamDecoder diffs(streamAt(1), diffWindowLogMax);
    std::optional<StreamDecoder> values;
    if (layout == DiffLayout::Sparse)
    {
        values.emplace(streamAt(2), diffWindowLogMax);
    }
    StreamDecoder extras(streamAt(counted), windowLogMax);
    if (!controls.valid() || !diffs.valid() || !extras.valid() ||
        (values && !values->valid()))
    {
        return CodecStatus::failure(CodecError::Memory, "no zstd context");
    }
    DiffReader differences(layout, diffs, values ? &*values : nullptr);
    ControlReader reader(controls);
    const std::uint64_t targetSize = out.size();
    unsigned char* const target = out.data();
    std::uint64_t written = 0;
    std::uint64_t position = 0; // in the source
    std::uint64_t steps = 0;
    while (written < targetSize)
    {
        if (++steps % CONTROLS_PER_CHECK == 0 && stopped(cancel))
        {
            return CodecStatus::failure(CodecError::Canceled);
        }
        std::uint64_t add = 0;
        std::uint64_t extra = 0;
        std::uint64_t seek = 0;
        CodecStatus status = reader.next(add);
        if (status.ok())
        {
            status = reader.next(extra);
        }
        if (status.ok())
        {
            status = reader.next(seek);
        }
        if (!status.ok())
        {
            return status;
        }
        if (add > targetSize - written || extra > targetSize - written - add)
        {
            return CodecStatus::failure(CodecError::TooLarge, "the delta writes beyond the target");
        }
        if (add > sourceSize - position)
        {
            return CodecStatus::failure(CodecError::Corrupt, "the delta reads beyond the source");
        }
        for (std::uint64_t done = 0; done < add;)
        {
            const std::size_t piece =
                static_cast<std::size_t>(std::min<std::uint64_t>(PIECE, add - done));
            if (status = differences.read(target + written, piece); !status.ok())
            {
                return status;
            }
            const unsigned char* base = source(position, piece);
            for (std::size_t i = 0; i < piece; ++i)
            {
                target[written + i] = static_cast<unsigned char>(target[written + i] + base[i]);
            }
            written += piece;
            position += piece;
            done += piece;
            produced(written);
            if (stopped(cancel))
            {
                return CodecStatus::failure(CodecError::Canceled);
            }
        }
        for (std::uint64_t done = 0; done < extra;)
        {
            const std::size_t piece =
                static_cast<std::size_t>(std::min<std::uint64_t>(PIECE, extra - done));
            if (status = extras.read(target + written, piece); !status.ok())
            {
                return status;
            }
            written += piece;
            done += piece;
            produced(written);
            if (stopped(cancel))
            {
                return CodecStatus::failure(CodecError::Canceled);
            }
        }
        const std::int64_t move = varint::unzigzag(seek);
        const auto moved = static_cast<std::int64_t>(position) + move;
        if ((move < 0 && moved < 0) || (move > 0 && static_cast<std::uint64_t>(moved) > sourceSize))
        {
            return CodecStatus::failure(CodecError::Corrupt, "the delta moves outside the source");
        }
        position = static_cast<std::uint64_t>(moved);
    }
    if (!reader.drained())
    {
        return CodecStatus::failure(CodecError::Corrupt, "controls beyond the target's end");
    }
    CodecStatus status = controls.expectEnd();
    if (status.ok())
    {
        status = differences.expectEnd();
    }
    return status.ok() ? extras.expectEnd() : status;
}
} // namespace pelvane::deltas
