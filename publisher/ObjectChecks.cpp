#include "publisher/ObjectChecks.h"

#include "pelvane/base/Sha256.h"
#include "pelvane/deltas/DeltaCodec.h"
#include "pelvane/deltas/DeltaSection.h"
#include "pelvane/deltas/ObjectDecoder.h"
#include "pelvane/trust/RepositoryLayout.h"

#include "platform/FileDescriptor.h"
#include "platform/SystemCalls.h"

#include <filesystem>
#include <vector>

namespace publisher::objectchecks
{
namespace deltas = pelvane::deltas;

namespace
{
// A scratch file for a decoded or rebuilt file, gone once closed; -1 when none.
int scratchFile()
{
    std::error_code error;
    std::string pattern =
        (std::filesystem::temp_directory_path(error) / "qor-publish-verify-XXXXXX").string();
    const int fd = platform::SystemCalls::openTemporary(pattern);
    if (fd >= 0)
    {
        platform::SystemCalls::unlink(pattern);
    }
    return fd;
}

std::string_view textOf(Bytes bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}
} // namespace

std::string decodesToFile(Bytes object, const pelvane::ManifestFile& file)
{
    const platform::FileDescriptor out(scratchFile());
    if (!out.valid())
    {
        return "no scratch file to decode into";
    }
    deltas::ObjectDecoder decoder;
    const deltas::ObjectExpectation expected{object.size(), pelvane::sha256Hex(textOf(object)),
                                             file.size, file.sha256};
    deltas::CodecStatus status = decoder.open(out.get(), expected);
    if (status.ok())
    {
        status = decoder.feed(object.data(), object.size());
    }
    if (status.ok())
    {
        status = decoder.finish();
    }
    return status.ok() ? std::string() : "it does not decode to the file: " + status.describe();
}

std::string framesMatchChunks(Bytes object, const pelvane::ChunkIndex& index)
{
    if (!index.framed() || index.compressedSize() != object.size())
    {
        return "its chunk index gives no frames of " + std::to_string(object.size()) + " bytes";
    }
    std::vector<unsigned char> chunk;
    for (std::size_t i = 0; i < index.chunks().size(); ++i)
    {
        const pelvane::Chunk& expected = index.chunks()[i];
        chunk.resize(expected.length);
        const deltas::CodecStatus status =
            deltas::decompressChunk(object.data() + expected.compressedOffset,
                                    expected.compressedLength, chunk.data(), chunk.size());
        if (!status.ok() ||
            pelvane::sha256Hex(textOf(Bytes(chunk.data(), chunk.size()))) != expected.sha256)
        {
            return "frame " + std::to_string(i) + " does not decode to its chunk" +
                   (status.ok() ? std::string() : ": " + status.describe());
        }
    }
    return {};
}

std::vector<std::string> checkDeltaSection(Bytes bundle, const pelvane::DeltaRef& delta,
                                           const std::vector<pelvane::ManifestFile>& files,
                                           const std::map<std::string, DeltaSource>& sources,
                                           std::size_t& applied)
{
    std::vector<std::string> faults;
    const std::string from = delta.from.text();
    if (delta.offset > bundle.size() || delta.size > bundle.size() - delta.offset ||
        delta.index.size > delta.size)
    {
        return {"the delta section from " + from + " lies outside the bundle"};
    }
    const Bytes section = bundle.subspan(static_cast<std::size_t>(delta.offset),
                                         static_cast<std::size_t>(delta.size));
    deltas::DeltaIndex index;
    const deltas::CodecStatus read = deltas::readDeltaIndex(
        section.first(static_cast<std::size_t>(delta.index.size)),
        {delta.index.size, delta.index.sha256, delta.size,
         static_cast<std::uint32_t>(files.size())},
        index);
    if (!read.ok())
    {
        return {"the delta index from " + from + ": " + read.describe()};
    }
    const auto source = sources.find(from);
    for (const deltas::DeltaEntry& entry : index.entries)
    {
        const pelvane::ManifestFile& file = files[entry.fileNumber];
        const std::string what = "the delta of " + file.path + " from " + from;
        const Bytes blob = section.subspan(static_cast<std::size_t>(entry.offset), entry.size);
        if (const deltas::CodecStatus status = deltas::checkDelta(entry, blob); !status.ok())
        {
            faults.push_back(what + ": " + status.describe());
            continue;
        }
        if (source == sources.end())
        {
            continue; // its version is gone: nothing left to apply it to
        }
        const pelvane::ManifestFile* origin = nullptr;
        for (const pelvane::ManifestFile& candidate : source->second.listed.files)
        {
            if (candidate.sha256 == entry.sourceSha256)
            {
                origin = &candidate;
                break;
            }
        }
        if (origin == nullptr)
        {
            faults.push_back(what + ": its source is no file of " + from);
            continue;
        }
        const platform::FileDescriptor out(scratchFile());
        const deltas::CodecStatus status =
            out.valid() ? deltas::applyDelta(
                              pelvane::RepositoryLayout::fileIn(source->second.folder, origin->path),
                              blob, out.get(), {entry.sourceSha256, file.size, file.sha256}, nullptr)
                        : deltas::CodecStatus::failure(deltas::CodecError::Disk, "no scratch file");
        if (!status.ok())
        {
            faults.push_back(what + " does not rebuild the file: " + status.describe());
            continue;
        }
        ++applied;
    }
    return faults;
}
} // namespace publisher::objectchecks
