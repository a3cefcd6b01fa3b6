// The codec layer on real binaries of this machine: compressed objects and
// both delta methods round trip, and every damaged, cut, hostile or
// mismatched input ends in its own failure kind, never in a wrong file or
// a byte beyond the declared size; delta indexes and bundles refuse to be
// misread.
#include "pelvane/base/Sha256.h"
#include "pelvane/deltas/Bundle.h"
#include "pelvane/deltas/DeltaCodec.h"
#include "pelvane/deltas/DeltaSection.h"
#include "pelvane/deltas/ObjectCompressor.h"
#include "pelvane/deltas/ObjectDecoder.h"

#include "TempFolder.h"

#include "platform/FileDescriptor.h"
#include "platform/SystemCalls.h"

#include <zstd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

using namespace pelvane;
using namespace pelvane::deltas;

namespace
{
std::string readBytes(const std::filesystem::path& path)
{
    std::string bytes(std::filesystem::file_size(path), '\0');
    std::ifstream(path, std::ios::binary)
        .read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

void writeBytes(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

Bytes bytesOf(const std::string& text)
{
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// A real shared library (the one this layer links) as the old version,
// and a new version made from it the way a rebuild changes a binary: code
// inserted, a table of addresses shifted, the tail cut, new bytes appended.
class Codecs : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char* candidate : {"/usr/lib/x86_64-linux-gnu/libzstd.so.1",
                                      "/usr/lib/libzstd.so.1", "/usr/lib64/libzstd.so.1"})
        {
            if (std::filesystem::exists(candidate))
            {
                m_old = readBytes(std::filesystem::canonical(candidate));
                break;
            }
        }
        ASSERT_GT(m_old.size(), 200'000u) << "no libzstd.so.1 on this machine";
        m_new = m_old;
        m_new.insert(m_new.size() * 2 / 5, m_old.substr(1000, 517));
        for (std::size_t at = m_new.size() * 7 / 10; at < m_new.size() * 7 / 10 + 4096; at += 8)
        {
            m_new[at] = static_cast<char>(m_new[at] + 0x40);
        }
        m_new.resize(m_new.size() - 1000);
        m_new += m_old.substr(m_old.size() / 3, 3000);
        writeBytes(oldPath(), m_old);
        writeBytes(newPath(), m_new);
    }

    std::string oldPath() const { return (m_folder / "old.so").string(); }
    std::string newPath() const { return (m_folder / "new.so").string(); }
    std::string partPath() const { return (m_folder / "part").string(); }

    platform::FileDescriptor openPart() const
    {
        return platform::FileDescriptor(platform::SystemCalls::open(
            partPath(), platform::SystemCalls::OpenMode::ReadWriteCreateNoFollow));
    }

    DeltaExpectation expectation() const
    {
        return {sha256Hex(m_old), m_new.size(), sha256Hex(m_new)};
    }

    CodecStatus apply(const std::string& delta, const DeltaExpectation& expected,
                      const std::atomic<bool>* cancel = nullptr) const
    {
        platform::FileDescriptor part = openPart();
        return applyDelta(oldPath(), bytesOf(delta), part.get(), expected, cancel);
    }

    std::string delta(DeltaMethod method) const
    {
        std::string blob;
        EXPECT_TRUE(makeDelta(method, bytesOf(m_old), bytesOf(m_new), {}, blob).ok());
        return blob;
    }

    ObjectExpectation objectExpectation(const std::string& object) const
    {
        return {object.size(), sha256Hex(object), m_new.size(), sha256Hex(m_new)};
    }

    CodecStatus decode(const std::string& object, const ObjectExpectation& expected,
                       std::size_t piece = 4099) const
    {
        platform::FileDescriptor part = openPart();
        ObjectDecoder decoder;
        CodecStatus status = decoder.open(part.get(), expected);
        for (std::size_t at = 0; status.ok() && at < object.size(); at += piece)
        {
            status = decoder.feed(object.data() + at, std::min(piece, object.size() - at));
        }
        return status.ok() ? decoder.finish() : status;
    }

    std::string compressedNew() const
    {
        std::string object;
        StringSink sink(object);
        CompressedObject made;
        EXPECT_TRUE(compressWhole(newPath(), sink, {}, made).ok());
        EXPECT_EQ(made.size, object.size());
        EXPECT_EQ(made.sha256, sha256Hex(object));
        return object;
    }

    qortest::TempFolder m_folder;
    std::string m_old;
    std::string m_new;
};

TEST_F(Codecs, CompressedObjectDecodesStreamedAndResumesFromTheKeptBytes)
{
    const std::string object = compressedNew();
    ASSERT_LT(object.size(), m_new.size() / 2);
    ASSERT_TRUE(decode(object, objectExpectation(object)).ok());
    EXPECT_EQ(readBytes(partPath()), m_new);

    // a download cut halfway: the kept compressed bytes are replayed into a
    // fresh decoder, then the rest arrives
    std::filesystem::remove(partPath());
    const std::size_t cut = object.size() / 2;
    writeBytes(m_folder / "kept", object.substr(0, cut));
    platform::FileDescriptor kept(platform::SystemCalls::open(
        (m_folder / "kept").string(), platform::SystemCalls::OpenMode::ReadNoFollow));
    platform::FileDescriptor part = openPart();
    ObjectDecoder decoder;
    ASSERT_TRUE(decoder.open(part.get(), objectExpectation(object)).ok());
    ASSERT_TRUE(decoder.replay(kept.get(), cut).ok());
    EXPECT_EQ(decoder.compressedReceived(), cut);
    ASSERT_TRUE(decoder.feed(object.data() + cut, object.size() - cut).ok());
    ASSERT_TRUE(decoder.finish().ok());
    EXPECT_EQ(readBytes(partPath()), m_new);
}

TEST_F(Codecs, ABombStopsAtTheDeclaredSizeAsCodeNineWithEfbig)
{
    const std::string object = compressedNew();
    ObjectExpectation declared = objectExpectation(object);
    declared.size = 100'000; // far less than the frame holds
    const CodecStatus status = decode(object, declared);
    EXPECT_EQ(status.error, CodecError::TooLarge) << status.describe();
    EXPECT_EQ(status.outcome().apiError, 9);
    EXPECT_EQ(status.outcome().primary, EFBIG);
    EXPECT_EQ(std::filesystem::file_size(partPath()), 100'000u);

    // a frame that does not declare its size is held to the bound as well
    std::string unsized(ZSTD_compressBound(m_new.size()), '\0');
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
    unsized.resize(
        ZSTD_compress2(context, unsized.data(), unsized.size(), m_new.data(), m_new.size()));
    ZSTD_freeCCtx(context);
    declared = objectExpectation(unsized);
    declared.size = m_new.size() - 1;
    EXPECT_EQ(decode(unsized, declared).error, CodecError::TooLarge);

    // more compressed bytes than announced
    declared = objectExpectation(object);
    declared.compressedSize = object.size() - 10;
    EXPECT_EQ(decode(object, declared).error, CodecError::TooLarge);
}

TEST_F(Codecs, DamagedObjectsFailAndNeverPassAsTheFile)
{
    const std::string object = compressedNew();
    const std::string cut = object.substr(0, object.size() - 100);
    ObjectExpectation announced = objectExpectation(cut);
    EXPECT_EQ(decode(cut, announced).error, CodecError::Truncated);

    std::string flipped = object;
    flipped[object.size() / 2] = static_cast<char>(flipped[object.size() / 2] ^ 0x20);
    // announced as is (a hostile mirror cannot match the list's hash) ...
    EXPECT_FALSE(decode(flipped, objectExpectation(object)).ok());
    // ... or with a matching hash (a bad publisher): the file's hash catches it
    const CodecStatus status = decode(flipped, objectExpectation(flipped));
    EXPECT_TRUE(status.error == CodecError::Corrupt || status.error == CodecError::WrongTarget)
        << status.describe();
    EXPECT_EQ(decode("not zstd at all", objectExpectation("not zstd at all")).error,
              CodecError::Corrupt);
}

TEST_F(Codecs, FramedObjectDecodesChunkByChunk)
{
    const std::vector<std::uint32_t> pieces{65536, 100000, 12345,
                                            static_cast<std::uint32_t>(m_new.size() - 177881)};
    std::string object;
    StringSink sink(object);
    CompressedObject made;
    ASSERT_TRUE(compressFramed(newPath(), pieces, sink, {}, made).ok());
    ASSERT_EQ(made.frames.size(), pieces.size());
    std::uint64_t offset = 0;
    std::uint64_t source = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i)
    {
        std::string chunk(pieces[i], '\0');
        ASSERT_TRUE(
            decompressChunk(object.data() + offset, made.frames[i], chunk.data(), chunk.size())
                .ok());
        EXPECT_EQ(chunk, m_new.substr(source, pieces[i]));
        offset += made.frames[i];
        source += pieces[i];
    }
    EXPECT_EQ(offset, object.size());
    // the frames back to back are also the whole file for a whole download
    EXPECT_TRUE(decode(object, objectExpectation(object)).ok());

    std::string small(pieces[0] - 1, '\0');
    EXPECT_EQ(decompressChunk(object.data(), made.frames[0], small.data(), small.size()).error,
              CodecError::TooLarge);
    std::string chunk(pieces[0], '\0');
    EXPECT_EQ(
        decompressChunk(object.data(), made.frames[0] + made.frames[1], chunk.data(), chunk.size())
            .error,
        CodecError::Corrupt);
    EXPECT_EQ(compressFramed(newPath(), {1, 2}, sink, {}, made).error, CodecError::WrongInput);
}

TEST_F(Codecs, BothDeltaMethodsRebuildTheNewVersionExactly)
{
    for (const DeltaMethod method : {DeltaMethod::Suffix, DeltaMethod::PatchFrom})
    {
        SCOPED_TRACE(deltaMethodName(method));
        const std::string blob = delta(method);
        EXPECT_LT(blob.size(), m_new.size() / 20);
        ASSERT_TRUE(apply(blob, expectation()).ok());
        EXPECT_EQ(readBytes(partPath()), m_new);
        // from a file too, over a leftover longer than the target
        writeBytes(partPath(), m_new + m_new);
        writeBytes(m_folder / "delta", blob);
        platform::FileDescriptor part = openPart();
        ASSERT_TRUE(applyDeltaFile(oldPath(), (m_folder / "delta").string(), part.get(),
                                   expectation(), nullptr)
                        .ok());
        EXPECT_EQ(readBytes(partPath()), m_new);
    }
    // an empty source is all new bytes; an empty target is nothing
    std::string blob;
    ASSERT_TRUE(makeDelta(DeltaMethod::Suffix, {}, bytesOf(m_new), {}, blob).ok());
    writeBytes(oldPath(), "");
    EXPECT_TRUE(apply(blob, {sha256Hex(""), m_new.size(), sha256Hex(m_new)}).ok());
}

// Small files go through buffers rather than mappings, and their decoders
// reuse the contexts that an earlier decode on the thread gave back.
TEST_F(Codecs, SmallFilesDecodeExactlyWithContextsAFailedDecodeLeftBehind)
{
    m_old.resize(150'000);
    m_new = m_old;
    m_new.insert(60'000, m_old.substr(1000, 517));
    for (std::size_t at = 100'000; at < 104'096; at += 8)
    {
        m_new[at] = static_cast<char>(m_new[at] + 0x40);
    }
    writeBytes(oldPath(), m_old);
    writeBytes(newPath(), m_new);
    for (const DeltaMethod method : {DeltaMethod::Suffix, DeltaMethod::PatchFrom})
    {
        SCOPED_TRACE(deltaMethodName(method));
        const std::string blob = delta(method);
        EXPECT_FALSE(apply(blob.substr(0, blob.size() / 2), expectation()).ok());
        writeBytes(partPath(), m_new + m_new); // a leftover longer than the target
        ASSERT_TRUE(apply(blob, expectation()).ok());
        EXPECT_EQ(readBytes(partPath()), m_new);
    }
    const std::string object = compressedNew();
    EXPECT_FALSE(decode(object.substr(0, object.size() / 2), objectExpectation(object)).ok());
    writeBytes(partPath(), m_new + m_new);
    ASSERT_TRUE(decode(object, objectExpectation(object)).ok());
    EXPECT_EQ(readBytes(partPath()), m_new);
}

TEST_F(Codecs, ADeltaForAnotherSourceIsRefusedBeforeAnythingIsWritten)
{
    const std::string blob = delta(DeltaMethod::Suffix);
    DeltaExpectation expected = expectation();
    expected.sourceSha256 = sha256Hex("another file");
    EXPECT_EQ(apply(blob, expected).error, CodecError::WrongSource);
    EXPECT_FALSE(std::filesystem::exists(partPath()) && std::filesystem::file_size(partPath()) > 0);

    writeBytes(oldPath(), m_old.substr(1)); // a source of another size
    EXPECT_EQ(apply(blob, expectation()).error, CodecError::WrongSource);

    // one that changed after its caller hashed it fails as the wrong result
    std::string changed = m_old;
    changed[changed.size() / 2] ^= 0x10;
    writeBytes(oldPath(), changed);
    expected = expectation();
    expected.sourceHashed = true;
    EXPECT_EQ(apply(blob, expected).error, CodecError::WrongTarget);
}

TEST_F(Codecs, DamagedDeltasEndInAFailureNeverInAWrongFile)
{
    for (const DeltaMethod method : {DeltaMethod::Suffix, DeltaMethod::PatchFrom})
    {
        SCOPED_TRACE(deltaMethodName(method));
        const std::string blob = delta(method);
        EXPECT_FALSE(apply(blob.substr(0, blob.size() * 2 / 3), expectation()).ok());
        EXPECT_FALSE(apply(blob.substr(0, 3), expectation()).ok());
        for (const std::size_t at : {blob.size() / 3, blob.size() - 5})
        {
            std::string flipped = blob;
            flipped[at] = static_cast<char>(flipped[at] ^ 0x01);
            EXPECT_FALSE(apply(flipped, expectation()).ok()) << "flipped byte " << at;
        }
        DeltaExpectation wrong = expectation();
        wrong.targetSha256 = sha256Hex("something else");
        EXPECT_EQ(apply(blob, wrong).error, CodecError::WrongTarget);
        wrong = expectation();
        wrong.targetSize += 1;
        EXPECT_EQ(apply(blob, wrong).error, CodecError::WrongInput);
    }
    EXPECT_EQ(apply("", expectation()).error, CodecError::Corrupt);
    EXPECT_EQ(apply("\x03\x01\x01", expectation()).error, CodecError::Unsupported);
}

TEST_F(Codecs, HandMadeSuffixDeltasOfBothLayoutsApplyAndHostileOnesCannotOverreach)
{
    // one control (add, extra), the diff making the first 100 target bytes
    // from the source's; the dense layout is what earlier publishers made
    const std::string hundred = m_new.substr(0, 100);
    const auto payload = [&](DiffLayout layout, std::uint64_t add, std::uint64_t extra,
                             const std::string& extraBytes, const std::string& moreValues = {})
    {
        const auto put = [](std::string& out, std::uint64_t value)
        {
            while (value >= 0x80)
            {
                out.push_back(static_cast<char>((value & 0x7F) | 0x80));
                value >>= 7;
            }
            out.push_back(static_cast<char>(value));
        };
        std::string controls;
        for (const std::uint64_t value : {add, extra, std::uint64_t{0}})
        {
            put(controls, value);
        }
        std::string diff;
        for (std::size_t i = 0; i < std::min<std::uint64_t>(add, hundred.size()); ++i)
        {
            diff.push_back(static_cast<char>(hundred[i] - m_old[i]));
        }
        std::vector<std::string> streams{controls};
        if (layout == DiffLayout::Dense)
        {
            streams.push_back(diff);
        }
        else
        {
            std::string gaps;
            std::string values;
            std::uint64_t zeros = 0;
            for (const char c : diff)
            {
                if (c == 0)
                {
                    ++zeros;
                    continue;
                }
                put(gaps, zeros);
                values.push_back(c);
                zeros = 0;
            }
            streams.push_back(gaps);
            streams.push_back(values + moreValues);
        }
        streams.push_back(extraBytes);
        std::string blob{layout == DiffLayout::Dense ? '\x01' : '\x04'};
        put(blob, m_old.size());
        put(blob, hundred.size());
        for (std::string& stream : streams)
        {
            std::string compressed;
            EXPECT_TRUE(compressBytes(stream.data(), stream.size(), 3, compressed).ok());
            stream = compressed;
        }
        for (std::size_t i = 0; i + 1 < streams.size(); ++i)
        {
            put(blob, streams[i].size());
        }
        for (const std::string& stream : streams)
        {
            blob += stream;
        }
        return blob;
    };
    const DeltaExpectation expected{sha256Hex(m_old), 100, sha256Hex(hundred)};
    for (const DiffLayout layout : {DiffLayout::Dense, DiffLayout::Sparse})
    {
        SCOPED_TRACE(layout == DiffLayout::Dense ? "dense" : "sparse");
        EXPECT_TRUE(apply(payload(layout, 100, 0, {}), expected).ok());
        EXPECT_EQ(readBytes(partPath()), hundred);
        EXPECT_TRUE(apply(payload(layout, 0, 100, hundred), expected).ok());
        EXPECT_EQ(apply(payload(layout, 0, 1u << 30, hundred), expected).error,
                  CodecError::TooLarge);
        EXPECT_EQ(apply(payload(layout, 1u << 30, 0, {}), expected).error, CodecError::TooLarge);
        EXPECT_EQ(apply(payload(layout, 0, 100, hundred + "tail"), expected).error,
                  CodecError::Corrupt);
        EXPECT_EQ(std::filesystem::file_size(partPath()), 100u);
    }
    // a difference left over after the target's last byte
    EXPECT_EQ(apply(payload(DiffLayout::Sparse, 100, 0, {}, "x"), expected).error,
              CodecError::Corrupt);
}

TEST_F(Codecs, TheChooserKeepsTheSmallerDeltaOnlyWhenItBeatsTheCompressedObject)
{
    const std::uint64_t compressed = compressedNew().size();
    DeltaChoice choice;
    ASSERT_TRUE(chooseDelta(oldPath(), newPath(), compressed, {}, choice).ok());
    ASSERT_TRUE(choice.kept);
    ASSERT_EQ(choice.sizes.size(), 2u);
    EXPECT_EQ(choice.delta.size(), std::min(choice.sizes[0].second, choice.sizes[1].second));
    EXPECT_EQ(choice.delta, delta(choice.method));

    // an unrelated file as the source: no delta beats the compressed object
    const std::string unrelated = (m_folder / "unrelated").string();
    std::string text;
    for (int i = 0; text.size() < m_new.size(); ++i)
    {
        text += "line " + std::to_string(i * 7919 % 100003) + " of something else\n";
    }
    writeBytes(unrelated, text);
    ASSERT_TRUE(chooseDelta(unrelated, newPath(), compressed, {}, choice).ok());
    EXPECT_FALSE(choice.kept);
    EXPECT_TRUE(choice.delta.empty());
}

TEST_F(Codecs, ACancelStopsMakingAndApplying)
{
    const std::string blob = delta(DeltaMethod::PatchFrom);
    std::atomic<bool> cancel{true};
    EXPECT_EQ(apply(blob, expectation(), &cancel).error, CodecError::Canceled);
    EXPECT_EQ(apply(delta(DeltaMethod::Suffix), expectation(), &cancel).outcome().apiError,
              Outcome::canceled().apiError);
    DeltaOptions options;
    options.cancel = &cancel;
    std::string made;
    EXPECT_EQ(makeDelta(DeltaMethod::Suffix, bytesOf(m_old), bytesOf(m_new), options, made).error,
              CodecError::Canceled);
}

// A bundle of two delta sections and two small objects, read back.
class Sections : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_first.add(2, sha256Hex("old two"), "\x02 delta of file two").ok());
        ASSERT_TRUE(m_first.add(7, sha256Hex("old seven"), "\x01 delta of file seven").ok());
        ASSERT_TRUE(m_second.add(7, sha256Hex("older seven"), "\x01 older delta").ok());
        StringSink sink(m_bundle);
        BundleWriter writer(sink);
        ASSERT_TRUE(writer.appendSection(m_first, m_pieces[0], m_summaries[0]).ok());
        ASSERT_TRUE(writer.appendSection(m_second, m_pieces[1], m_summaries[1]).ok());
        ASSERT_TRUE(writer.appendObject(bytesOf("small object"), m_pieces[2]).ok());
        ASSERT_TRUE(writer.appendObject(bytesOf("another"), m_pieces[3]).ok());
        BundlePiece refused;
        DeltaSectionSummary summary;
        EXPECT_EQ(writer.appendSection(m_second, refused, summary).error, CodecError::WrongInput);
        EXPECT_EQ(writer.size(), m_bundle.size());
    }

    Bytes at(std::uint64_t offset, std::uint64_t size) const
    {
        return bytesOf(m_bundle).subspan(offset, size);
    }

    DeltaIndexExpectation expectationOf(int section) const
    {
        return {m_summaries[section].indexSize, m_summaries[section].indexSha256,
                m_summaries[section].sectionSize, 10};
    }

    DeltaSectionWriter m_first;
    DeltaSectionWriter m_second;
    std::string m_bundle;
    BundlePiece m_pieces[4];
    DeltaSectionSummary m_summaries[2];
};

TEST_F(Sections, ABundleReadsBackPieceByPiece)
{
    std::vector<BundlePiece> pieces(std::begin(m_pieces), std::end(m_pieces));
    ASSERT_TRUE(checkBundleLayout(m_bundle.size(), pieces).ok());
    EXPECT_EQ(m_pieces[1].offset, m_pieces[0].size);
    EXPECT_EQ(m_pieces[0].size, m_summaries[0].sectionSize);
    EXPECT_EQ(m_pieces[2].sha256, sha256Hex("small object"));
    EXPECT_EQ(
        std::string(reinterpret_cast<const char*>(at(m_pieces[3].offset, m_pieces[3].size).data()),
                    m_pieces[3].size),
        "another");

    DeltaIndex index;
    const BundlePiece& section = m_pieces[0];
    ASSERT_TRUE(
        readDeltaIndex(at(section.offset, m_summaries[0].indexSize), expectationOf(0), index).ok());
    ASSERT_EQ(index.entries.size(), 2u);
    EXPECT_EQ(index.find(3), nullptr);
    const DeltaEntry* seven = index.find(7);
    ASSERT_NE(seven, nullptr);
    EXPECT_EQ(seven->sourceSha256, sha256Hex("old seven"));
    const Bytes delta = at(section.offset + seven->offset, seven->size);
    EXPECT_TRUE(checkDelta(*seven, delta).ok());
    EXPECT_EQ(checkDelta(*seven, delta.first(delta.size() - 1)).error, CodecError::WrongInput);
    EXPECT_EQ(checkDelta(*index.find(2), delta).error, CodecError::WrongInput);
}

TEST_F(Sections, AHostileIndexIsRefused)
{
    const std::string good = m_first.indexBytes();
    DeltaIndex index;
    // not the bytes the file list announced
    EXPECT_EQ(readDeltaIndex(bytesOf(good),
                             {good.size(), sha256Hex("x"), m_summaries[0].sectionSize, 10}, index)
                  .error,
              CodecError::WrongInput);
    EXPECT_EQ(readDeltaIndex(bytesOf(good).first(20), expectationOf(0), index).error,
              CodecError::WrongInput);
    // announced, but unsound: each edit is signed over, so the hashes match
    const auto refused = [&](std::string bytes, std::uint32_t fileCount, std::uint64_t sectionSize)
    {
        const CodecStatus status = readDeltaIndex(
            bytesOf(bytes), {bytes.size(), sha256Hex(bytes), sectionSize, fileCount}, index);
        return status.error == CodecError::Corrupt && index.entries.empty();
    };
    const std::uint64_t size = m_summaries[0].sectionSize;
    EXPECT_TRUE(refused(good, 7, size));                         // file 7 of a list of 7
    EXPECT_TRUE(refused(good, 10, size + 1));                    // deltas do not fill the section
    EXPECT_TRUE(refused("QORDIDX2" + good.substr(8), 10, size)); // another magic
    std::string edited = good;
    edited[8] = 3; // three entries in the room of two
    EXPECT_TRUE(refused(edited, 10, size));
    edited = good;
    edited[8] = '\xFF';
    edited[11] = '\xFF'; // a count no list holds
    EXPECT_TRUE(refused(edited, 10, size));
    edited = good;
    edited[12 + 72] = 2; // file two twice
    EXPECT_TRUE(refused(edited, 10, size));
    edited = good;
    edited[12 + 4] = 0; // an empty delta
    EXPECT_TRUE(refused(edited, 10, size - 20));
}

TEST_F(Sections, WritersAndLayoutsRefuseWhatWouldMisleadAReader)
{
    DeltaSectionWriter section;
    EXPECT_EQ(section.add(7, sha256Hex("x"), "").error, CodecError::WrongInput);
    EXPECT_EQ(section.add(7, "beef", "\x01").error, CodecError::WrongInput);
    ASSERT_TRUE(section.add(7, sha256Hex("x"), "\x01").ok());
    EXPECT_EQ(section.add(7, sha256Hex("y"), "\x01").error, CodecError::WrongInput);
    EXPECT_EQ(section.count(), 1u);

    const std::uint64_t size = m_bundle.size();
    EXPECT_EQ(checkBundleLayout(size, {{0, 10, {}}, {9, 5, {}}}).error, CodecError::Corrupt);
    EXPECT_EQ(checkBundleLayout(size, {{size - 4, 5, {}}}).error, CodecError::Corrupt);
    EXPECT_EQ(checkBundleLayout(size, {{8, UINT64_MAX - 4, {}}}).error, CodecError::Corrupt);
    EXPECT_EQ(checkBundleLayout(size, {{3, 0, {}}}).error, CodecError::Corrupt);
    EXPECT_TRUE(checkBundleLayout(size, {{10, 5, {}}, {0, 10, {}}}).ok());
}
} // namespace
