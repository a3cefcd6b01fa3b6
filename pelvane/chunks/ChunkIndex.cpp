#include "pelvane/chunks/ChunkIndex.h"

#include "pelvane/base/HexText.h"
#include "pelvane/chunks/ContentChunker.h"
#include "pelvane/trust/Manifest.h"

#include "platform/FileDescriptor.h"
#include "platform/SystemCalls.h"

#include <algorithm>
#include <cerrno>

namespace pelvane
{
namespace
{
constexpr std::string_view MAGIC = "QORCIDX1";
constexpr std::string_view FRAMED_MAGIC = "QORCIDX2";

void putLittleEndian(std::string& out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
    {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFFU));
    }
}

std::uint64_t getLittleEndian(std::string_view bytes, std::size_t at, int count)
{
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
    {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

} // namespace

void ChunkIndex::add(std::uint32_t length, std::string sha256)
{
    m_chunks.push_back({m_fileSize, length, std::move(sha256)});
    m_fileSize += length;
}

bool ChunkIndex::setCompressedLengths(const std::vector<std::uint32_t>& lengths)
{
    if (lengths.size() != m_chunks.size() || lengths.empty() ||
        std::any_of(lengths.begin(), lengths.end(),
                    [](std::uint32_t length) { return length == 0 || length > MAX_FRAME_BYTES; }))
    {
        return false;
    }
    m_compressedSize = 0;
    for (std::size_t i = 0; i < lengths.size(); ++i)
    {
        m_chunks[i].compressedOffset = m_compressedSize;
        m_chunks[i].compressedLength = lengths[i];
        m_compressedSize += lengths[i];
    }
    return true;
}

std::optional<ChunkIndex> ChunkIndex::parse(std::string_view bytes, std::string& error)
{
    const bool framed = bytes.substr(0, FRAMED_MAGIC.size()) == FRAMED_MAGIC;
    if (bytes.size() < HEADER_BYTES || (!framed && bytes.substr(0, MAGIC.size()) != MAGIC))
    {
        error = "not a chunk index";
        return std::nullopt;
    }
    if (getLittleEndian(bytes, 8, 4) != ContentChunker::MIN_SIZE ||
        getLittleEndian(bytes, 12, 4) != ContentChunker::AVERAGE_SIZE ||
        getLittleEndian(bytes, 16, 4) != ContentChunker::MAX_SIZE)
    {
        error = "chunk index made with other chunk sizes";
        return std::nullopt;
    }
    const std::uint64_t fileSize = getLittleEndian(bytes, 20, 8);
    const std::uint64_t count = getLittleEndian(bytes, 28, 4);
    const std::size_t entryBytes = framed ? FRAMED_ENTRY_BYTES : ENTRY_BYTES;
    if (fileSize > ManifestFile::MAX_SIZE || bytes.size() != HEADER_BYTES + count * entryBytes ||
        (framed && count == 0))
    {
        error = "chunk index of the wrong length";
        return std::nullopt;
    }
    ChunkIndex index;
    index.m_chunks.reserve(static_cast<std::size_t>(count));
    std::vector<std::uint32_t> frames;
    for (std::size_t i = 0; i < count; ++i)
    {
        const std::size_t at = HEADER_BYTES + i * entryBytes;
        const auto length = static_cast<std::uint32_t>(getLittleEndian(bytes, at, 4));
        if (length == 0 || length > ContentChunker::MAX_SIZE)
        {
            error = "chunk of a length no chunker makes";
            return std::nullopt;
        }
        if (framed)
        {
            frames.push_back(static_cast<std::uint32_t>(getLittleEndian(bytes, at + 4, 4)));
        }
        index.add(length, toHex(bytes.substr(at + entryBytes - 32, 32)));
    }
    if (index.m_fileSize != fileSize)
    {
        error = "chunk lengths do not add up to the file size";
        return std::nullopt;
    }
    if (framed && !index.setCompressedLengths(frames))
    {
        error = "compressed chunk of a length no compressor makes";
        return std::nullopt;
    }
    return index;
}

std::string ChunkIndex::serialize() const
{
    std::string out(framed() ? FRAMED_MAGIC : MAGIC);
    putLittleEndian(out, ContentChunker::MIN_SIZE, 4);
    putLittleEndian(out, ContentChunker::AVERAGE_SIZE, 4);
    putLittleEndian(out, ContentChunker::MAX_SIZE, 4);
    putLittleEndian(out, m_fileSize, 8);
    putLittleEndian(out, m_chunks.size(), 4);
    for (const Chunk& chunk : m_chunks)
    {
        putLittleEndian(out, chunk.length, 4);
        if (framed())
        {
            putLittleEndian(out, chunk.compressedLength, 4);
        }
        // the digests are the hasher's own lowercase hex: always 32 bytes
        std::string raw;
        fromHex(chunk.sha256, raw);
        out += raw;
    }
    return out;
}

bool ChunkIndex::build(const std::string& path, ChunkIndex& index, std::string* fileSha256,
                       const std::atomic<bool>* cancel, int& errorNumber)
{
    errorNumber = 0;
    index = ChunkIndex();
    platform::FileDescriptor file(
        platform::SystemCalls::open(path, platform::SystemCalls::OpenMode::Read));
    if (!file.valid())
    {
        errorNumber = errno;
        return false;
    }
    ContentChunker chunker([&index](std::uint64_t, std::uint32_t length, const std::string& sha)
                           { index.add(length, sha); });
    Sha256 whole;
    std::vector<unsigned char> buffer(1024 * 1024);
    for (;;)
    {
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed))
        {
            errorNumber = ECANCELED;
            return false;
        }
        const std::int64_t got =
            platform::SystemCalls::read(file.get(), buffer.data(), buffer.size());
        if (got < 0)
        {
            errorNumber = errno;
            return false;
        }
        if (got == 0)
        {
            break;
        }
        chunker.update(buffer.data(), static_cast<std::size_t>(got));
        if (fileSha256 != nullptr)
        {
            whole.update(buffer.data(), static_cast<std::size_t>(got));
        }
    }
    chunker.finish();
    if (fileSha256 != nullptr)
    {
        *fileSha256 = whole.finishHex();
    }
    return true;
}

std::string ChunkIndex::checkAgainstFile(const ChunkIndex& index, const std::string& path)
{
    ChunkIndex actual;
    int errorNumber = 0;
    if (!build(path, actual, nullptr, nullptr, errorNumber))
    {
        return "cannot read " + path + " (errno " + std::to_string(errorNumber) + ")";
    }
    if (actual.fileSize() != index.fileSize())
    {
        return "the index is for " + std::to_string(index.fileSize()) + " bytes, the file has " +
               std::to_string(actual.fileSize());
    }
    if (actual.chunks().size() != index.chunks().size())
    {
        return "the index has " + std::to_string(index.chunks().size()) + " chunks, the file " +
               std::to_string(actual.chunks().size());
    }
    for (std::size_t i = 0; i < actual.chunks().size(); ++i)
    {
        const Chunk& a = actual.chunks()[i];
        const Chunk& b = index.chunks()[i];
        if (a.length != b.length || a.sha256 != b.sha256)
        {
            return "chunk " + std::to_string(i) + " at byte " + std::to_string(b.offset) +
                   " differs";
        }
    }
    return {};
}
} // namespace pelvane
