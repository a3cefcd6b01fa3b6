// libFuzzer target for the chunk index reader: an index it accepts is laid
// out without gaps, adds up to its file size and writes back byte for byte;
// one it refuses says why. The input is read as it stands and, behind a
// valid magic and chunk sizes, as the rest of an index, so that the fuzzer
// reaches the entries. The index cut from the input as a file reads back the
// same.
#include "fuzz/FuzzCheck.h"
#include "pelvane/chunks/ChunkIndex.h"
#include "pelvane/chunks/ContentChunker.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace
{
using fuzzcheck::check;

bool lowercaseHexDigest(const std::string& text)
{
    if (text.size() != 64)
    {
        return false;
    }
    for (const char c : text)
    {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
        {
            return false;
        }
    }
    return true;
}

void littleEndian(std::string& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
    {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFFU));
    }
}

void readBack(std::string_view bytes)
{
    std::string error;
    const std::optional<pelvane::ChunkIndex> index = pelvane::ChunkIndex::parse(bytes, error);
    if (!index)
    {
        check(!error.empty(), "a refusal says why");
        return;
    }
    std::uint64_t next = 0;
    for (const pelvane::Chunk& chunk : index->chunks())
    {
        check(chunk.offset == next, "chunks follow each other");
        check(chunk.length > 0 && chunk.length <= pelvane::ContentChunker::MAX_SIZE,
              "chunk lengths a chunker makes");
        check(lowercaseHexDigest(chunk.sha256), "digests in lowercase hex");
        next += chunk.length;
    }
    check(next == index->fileSize(), "lengths add up to the file size");
    check(index->serialize() == bytes, "an accepted index writes back as it was");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    readBack(input);

    std::string framed = "QORCIDX1";
    littleEndian(framed, pelvane::ContentChunker::MIN_SIZE);
    littleEndian(framed, pelvane::ContentChunker::AVERAGE_SIZE);
    littleEndian(framed, pelvane::ContentChunker::MAX_SIZE);
    framed += input;
    readBack(framed);

    // the input as a published file, cut as the publisher cuts it: its
    // index reads back and holds the same chunks
    pelvane::ChunkIndex built;
    pelvane::ContentChunker chunker([&built](std::uint64_t, std::uint32_t length,
                                             const std::string& sha) { built.add(length, sha); });
    chunker.update(data, size);
    chunker.finish();
    check(built.fileSize() == size, "built for the whole file");
    const std::string written = built.serialize();
    readBack(written);
    std::string error;
    const auto again = pelvane::ChunkIndex::parse(written, error);
    check(again.has_value() && again->chunks().size() == built.chunks().size(),
          "our own index is accepted whole");
    for (std::size_t i = 0; i < built.chunks().size(); ++i)
    {
        check(again->chunks()[i].sha256 == built.chunks()[i].sha256, "same digests");
    }
    return 0;
}
