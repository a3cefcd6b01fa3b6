#include "publisher/VersionBuilder.h"

#include "publisher/ChunkIndexFiles.h"
#include "publisher/WorkerPool.h"

#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/deltas/Bundle.h"
#include "pelvane/deltas/ObjectCompressor.h"
#include "pelvane/trust/RepositoryLayout.h"

#include "platform/FileDescriptor.h"
#include "platform/SystemCalls.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <span>

namespace publisher
{
namespace fs = std::filesystem;
namespace deltas = pelvane::deltas;

struct VersionBuilder::FileWork
{
    pelvane::ManifestFile file;
    std::string smallObject; // a compressed object bound for the bundle, until it is there
    std::uint64_t beat = 0;  // what a delta has to be smaller than
    // per source version: the delta kept from it (empty: none) and its source's SHA-256
    std::vector<std::pair<std::string, std::string>> deltas;
    std::string warning;
};

namespace
{
const char* const WORK_FOLDER = ".work";

// Copies one file, hashes and chunks it in the same pass.
bool copyAndHash(const fs::path& source, const fs::path& destination, pelvane::ManifestFile& file,
                 ChunkIndexFiles::Builder& chunks)
{
    std::ifstream in(source, std::ios::binary);
    std::ofstream out(destination, std::ios::binary | std::ios::trunc);
    if (!in || !out)
    {
        return false;
    }
    pelvane::Sha256 digest;
    std::vector<char> buffer(1024 * 1024);
    file.size = 0;
    while (in)
    {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const std::streamsize got = in.gcount();
        if (got <= 0)
        {
            break;
        }
        out.write(buffer.data(), got);
        digest.update(buffer.data(), static_cast<std::size_t>(got));
        chunks.update(buffer.data(), static_cast<std::size_t>(got));
        file.size += static_cast<std::uint64_t>(got);
    }
    out.close();
    file.sha256 = digest.finishHex();
    return !in.bad() && !out.fail();
}

// The size and SHA-256 of a file against its list entry.
bool fileMatches(const std::string& path, const pelvane::ManifestFile& entry)
{
    std::uint64_t size = 0;
    pelvane::Sha256 digest;
    int errorNumber = 0;
    return pelvane::safefiles::regularFileSize(path, size) == 0 && size == entry.size &&
           pelvane::hashFilePrefix(path, size, digest, nullptr, errorNumber) &&
           pelvane::digestsEqual(entry.sha256, digest.finishHex());
}

// The file at `source` compressed into a new file at `spool`: whole, or
// one frame per piece of `pieces`.
std::string compress(const std::string& source, const std::string& spool,
                     const std::vector<std::uint32_t>* pieces, deltas::CompressedObject& object)
{
    platform::FileDescriptor out(platform::SystemCalls::open(
        spool, platform::SystemCalls::OpenMode::CreateNewNoFollow, 0644));
    if (!out.valid())
    {
        return "cannot write " + spool;
    }
    deltas::FdSink sink(out.get());
    const deltas::CodecStatus status =
        pieces == nullptr ? deltas::compressWhole(source, sink, {}, object)
                          : deltas::compressFramed(source, *pieces, sink, {}, object);
    const bool closed = out.close();
    if (!status.ok() || !closed)
    {
        return "cannot compress " + source + ": " + (closed ? status.describe() : spool);
    }
    return {};
}

// Moves a finished object from the spool to its place in the version.
std::string place(const std::string& spool, const std::string& destination)
{
    std::error_code error;
    fs::create_directories(fs::path(destination).parent_path(), error);
    fs::rename(spool, destination, error);
    return error ? "cannot write " + destination + ": " + error.message() : std::string();
}
} // namespace

std::string VersionBuilder::buildFile(const std::string& path, FileWork& work)
{
    pelvane::ManifestFile& file = work.file;
    file.path = path;
    const std::string destination = pelvane::RepositoryLayout::fileIn(m_incoming, path);
    ChunkIndexFiles::Builder chunks;
    if (!copyAndHash(fs::path(m_release) / path, destination, file, chunks))
    {
        return "cannot copy " + path;
    }
    pelvane::ChunkIndex& index = chunks.finish();
    work.beat = file.size;
    if (file.size == 0)
    {
        return chunks.write(pelvane::RepositoryLayout::chunkIndexIn(m_incoming, path), file)
                   ? std::string()
                   : "cannot write the chunk index of " + path;
    }
    const std::string spool = m_incoming + "/" + WORK_FOLDER + "/" + pelvane::sha256Hex(path);
    deltas::CompressedObject object;
    if (std::string failure = compress(destination, spool, nullptr, object); !failure.empty())
    {
        return failure;
    }
    std::error_code error;
    if (object.size >= file.size)
    {
        fs::remove(spool, error); // it does not shrink: the file is its own object
    }
    else if (object.size < LARGE_OBJECT_BYTES)
    {
        work.smallObject = spool;
        file.bundled = pelvane::BundleRef{0, object.size, object.sha256};
        work.beat = object.size;
    }
    else
    {
        const std::string large = pelvane::RepositoryLayout::compressedIn(m_incoming, path);
        if (std::string failure = place(spool, large); !failure.empty())
        {
            return failure;
        }
        file.compressed = pelvane::ObjectRef{object.size, object.sha256};
        work.beat = object.size;
        // the same bytes again, one frame per chunk, for clients that hold
        // some of its chunks already
        std::vector<std::uint32_t> lengths;
        lengths.reserve(index.chunks().size());
        for (const pelvane::Chunk& chunk : index.chunks())
        {
            lengths.push_back(chunk.length);
        }
        deltas::CompressedObject framed;
        if (std::string failure = compress(destination, spool, &lengths, framed); !failure.empty())
        {
            return failure;
        }
        if (framed.size < file.size && index.setCompressedLengths(framed.frames))
        {
            if (std::string failure =
                    place(spool, pelvane::RepositoryLayout::framedIn(m_incoming, path));
                !failure.empty())
            {
                return failure;
            }
            file.framed = pelvane::ObjectRef{framed.size, framed.sha256};
        }
        else
        {
            fs::remove(spool, error);
        }
    }
    if (!chunks.write(pelvane::RepositoryLayout::chunkIndexIn(m_incoming, path), file))
    {
        return "cannot write the chunk index of " + path;
    }
    return {};
}

std::string VersionBuilder::build(const std::vector<std::string>& paths,
                                  const std::vector<SourceVersion>& sources,
                                  pelvane::ManifestVersion& version)
{
    std::error_code error;
    fs::create_directories(fs::path(m_incoming) / WORK_FOLDER, error);
    for (const std::string& path : paths)
    {
        // the folders first, so that the workers never race to make one
        for (const std::string& place : {pelvane::RepositoryLayout::fileIn(m_incoming, path),
                                         pelvane::RepositoryLayout::chunkIndexIn(m_incoming, path)})
        {
            fs::create_directories(fs::path(place).parent_path(), error);
        }
        if (error)
        {
            return "cannot create the folders of " + path + ": " + error.message();
        }
    }
    std::vector<FileWork> work(paths.size());
    std::vector<std::string> failures(paths.size());
    runInParallel(paths.size(), [&](std::size_t i) { failures[i] = buildFile(paths[i], work[i]); });
    for (const std::string& failure : failures)
    {
        if (!failure.empty())
        {
            return failure;
        }
    }
    std::uint64_t raw = 0;
    std::uint64_t large = 0;
    std::uint64_t small = 0;
    std::size_t largeCount = 0;
    std::size_t smallCount = 0;
    for (const FileWork& item : work)
    {
        raw += item.file.size;
        if (item.file.compressed)
        {
            large += item.file.compressed->size;
            ++largeCount;
        }
        if (item.file.bundled)
        {
            small += item.file.bundled->size;
            ++smallCount;
        }
    }
    m_output << "Compressed objects: " << largeCount << " in zst/ (" << large << " bytes), "
             << smallCount << " in the bundle (" << small << " bytes), "
             << paths.size() - largeCount - smallCount << " files that do not shrink; " << raw
             << " bytes raw\n";
    if (const std::string failure = makeDeltas(sources, work); !failure.empty())
    {
        return failure;
    }
    const std::string failure = writeBundle(sources, work, version);
    fs::remove_all(fs::path(m_incoming) / WORK_FOLDER, error);
    return failure;
}

std::string VersionBuilder::makeDeltas(const std::vector<SourceVersion>& sources,
                                       std::vector<FileWork>& work)
{
    // one per method, so that the two methods of the largest file (which
    // alone can take longer than all the others) run side by side
    struct Task
    {
        std::size_t file;
        std::size_t source;
        const pelvane::ManifestFile* from;
        deltas::DeltaMethod method;
    };
    const std::vector<deltas::DeltaMethod> methods = deltas::DeltaOptions{}.methods;
    std::vector<std::map<std::string, const pelvane::ManifestFile*>> byPath(sources.size());
    for (std::size_t s = 0; s < sources.size(); ++s)
    {
        for (const pelvane::ManifestFile& file : sources[s].listed.files)
        {
            byPath[s][file.path] = &file;
        }
    }
    std::vector<Task> tasks;
    for (std::size_t f = 0; f < work.size(); ++f)
    {
        work[f].deltas.resize(sources.size());
        std::set<std::string> seen{work[f].file.sha256};
        for (std::size_t s = 0; s < sources.size(); ++s)
        {
            const auto found = byPath[s].find(work[f].file.path);
            if (found != byPath[s].end() && seen.insert(found->second->sha256).second &&
                work[f].file.size > 0 && found->second->size > 0)
            {
                for (const deltas::DeltaMethod method : methods)
                {
                    tasks.push_back({f, s, found->second, method});
                }
            }
        }
    }
    // the big ones first, so that no worker is left with one at the end
    std::stable_sort(tasks.begin(), tasks.end(), [&](const Task& a, const Task& b)
                     { return work[a.file].file.size > work[b.file].file.size; });
    std::mutex results;
    runInParallel(tasks.size(),
                  [&](std::size_t t)
                  {
                      const Task& task = tasks[t];
                      FileWork& target = work[task.file];
                      const std::string sourcePath = pelvane::RepositoryLayout::fileIn(
                          sources[task.source].folder, task.from->path);
                      std::string warning;
                      if (!fileMatches(sourcePath, *task.from))
                      {
                          warning = task.method == methods.front()
                                        ? "no delta from " + sourcePath +
                                              ": it does not match its version's file list"
                                        : std::string();
                      }
                      else
                      {
                          DeltaCache::Pair stored(m_cache, task.from->sha256, target.file.sha256,
                                                  task.from->size, target.file.size);
                          deltas::DeltaOptions options;
                          options.methods = {task.method};
                          deltas::DeltaChoice choice;
                          const deltas::CodecStatus status = deltas::chooseDelta(
                              sourcePath,
                              pelvane::RepositoryLayout::fileIn(m_incoming, target.file.path),
                              target.beat, options, choice, &stored);
                          if (!status.ok())
                          {
                              warning = "no " + std::string(deltas::deltaMethodName(task.method)) +
                                        " delta from " + sourcePath + ": " + status.describe();
                          }
                          const std::lock_guard<std::mutex> lock(results);
                          // the smaller of the methods' blobs that beat the object (on a
                          // tie the lower method, whichever finished first)
                          auto& [sourceSha, kept] = target.deltas[task.source];
                          if (status.ok() && choice.kept &&
                              (kept.empty() || choice.delta.size() < kept.size() ||
                               (choice.delta.size() == kept.size() && choice.delta[0] < kept[0])))
                          {
                              sourceSha = task.from->sha256;
                              kept = std::move(choice.delta);
                          }
                      }
                      if (!warning.empty())
                      {
                          const std::lock_guard<std::mutex> lock(results);
                          m_errors << "qor-publish: warning: " << warning << "\n";
                      }
                  });
    m_output << "Delta cache "
             << (m_cache.folder().empty() ? std::string("(none)") : m_cache.folder()) << ": "
             << m_cache.hits() << " found, " << m_cache.made() << " made";
    if (m_cache.damaged() > 0)
    {
        m_output << " (" << m_cache.damaged() << " damaged entries made again)";
    }
    if (m_cache.unwritable() > 0)
    {
        m_output << " (" << m_cache.unwritable() << " could not be stored)";
    }
    m_output << "\n";
    return {};
}

std::string VersionBuilder::writeBundle(const std::vector<SourceVersion>& sources,
                                        std::vector<FileWork>& work,
                                        pelvane::ManifestVersion& version)
{
    std::vector<deltas::DeltaSectionWriter> sections(sources.size());
    for (std::size_t f = 0; f < work.size(); ++f)
    {
        for (std::size_t s = 0; s < sources.size(); ++s)
        {
            auto& [sourceSha, delta] = work[f].deltas[s];
            if (delta.empty())
            {
                continue;
            }
            if (const deltas::CodecStatus status = sections[s].add(
                    static_cast<std::uint32_t>(f), sourceSha, std::move(delta));
                !status.ok())
            {
                return "cannot add the delta of " + work[f].file.path + ": " + status.describe();
            }
        }
    }
    const bool anySection = std::any_of(sections.begin(), sections.end(),
                                        [](const auto& section) { return !section.empty(); });
    const bool anyObject = std::any_of(work.begin(), work.end(),
                                       [](const FileWork& item) { return item.file.bundled; });
    if (anySection || anyObject)
    {
        const std::string path = pelvane::RepositoryLayout::bundleIn(m_incoming);
        platform::FileDescriptor out(platform::SystemCalls::open(
            path, platform::SystemCalls::OpenMode::CreateNewNoFollow, 0644));
        if (!out.valid())
        {
            return "cannot write " + path;
        }
        deltas::FdSink sink(out.get());
        deltas::BundleWriter bundle(sink);
        for (std::size_t s = 0; s < sources.size(); ++s)
        {
            if (sections[s].empty())
            {
                continue;
            }
            deltas::BundlePiece piece;
            deltas::DeltaSectionSummary summary;
            if (const deltas::CodecStatus status = bundle.appendSection(sections[s], piece, summary);
                !status.ok())
            {
                return "cannot write " + path + ": " + status.describe();
            }
            version.deltas.push_back({sources[s].number, piece.offset, piece.size,
                                      {summary.indexSize, summary.indexSha256}});
            m_output << "Deltas from " << sources[s].number.text() << ": " << sections[s].count()
                     << " files, " << piece.size << " bytes\n";
        }
        for (FileWork& item : work)
        {
            if (!item.file.bundled)
            {
                continue;
            }
            std::string object;
            deltas::BundlePiece piece;
            if (pelvane::safefiles::readSmallFile(item.smallObject, object,
                                                  static_cast<std::size_t>(LARGE_OBJECT_BYTES)) != 0)
            {
                return "cannot read " + item.smallObject;
            }
            const deltas::CodecStatus status = bundle.appendObject(
                std::span(reinterpret_cast<const unsigned char*>(object.data()), object.size()),
                piece);
            if (!status.ok())
            {
                return "cannot write " + path + ": " + status.describe();
            }
            item.file.bundled = pelvane::BundleRef{piece.offset, piece.size, piece.sha256};
        }
        if (platform::SystemCalls::sync(out.get()) != 0 || !out.close())
        {
            return "cannot write " + path;
        }
        version.bundleSize = bundle.size();
    }
    for (FileWork& item : work)
    {
        version.files.push_back(std::move(item.file));
    }
    return {};
}
} // namespace publisher
