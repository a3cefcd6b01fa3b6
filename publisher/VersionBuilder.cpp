#include "publisher/VersionBuilder.h"

#include "publisher/ChunkIndexFiles.h"
#include "publisher/WorkerPool.h"

#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/chunks/RelatedFiles.h"
#include "pelvane/deltas/Bundle.h"
#include "pelvane/deltas/ObjectCompressor.h"
#include "pelvane/trust/RepositoryLayout.h"

#include "platform/FileDescriptor.h"
#include "platform/SystemCalls.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <memory>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <unordered_set>

namespace publisher
{
namespace fs = std::filesystem;
namespace deltas = pelvane::deltas;

struct VersionBuilder::FileWork
{
    pelvane::ManifestFile file;
    std::unique_ptr<ChunkIndexFiles::Builder> chunks; // until its index is written
    std::string wholeSpool;  // where its objects are made (empty: none)
    std::string framedSpool;
    deltas::CompressedObject whole;
    deltas::CompressedObject framed;
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
                     const std::vector<std::uint32_t>* pieces,
                     const deltas::CompressionOptions& options, deltas::CompressedObject& object)
{
    platform::FileDescriptor out(platform::SystemCalls::open(
        spool, platform::SystemCalls::OpenMode::CreateNewNoFollow, 0644));
    if (!out.valid())
    {
        return "cannot write " + spool;
    }
    deltas::FdSink sink(out.get());
    const deltas::CodecStatus status =
        pieces == nullptr ? deltas::compressWhole(source, sink, options, object)
                          : deltas::compressFramed(source, *pieces, sink, options, object);
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

std::string VersionBuilder::copyFile(const std::string& path, FileWork& work)
{
    pelvane::ManifestFile& file = work.file;
    file.path = path;
    work.chunks = std::make_unique<ChunkIndexFiles::Builder>();
    if (!copyAndHash(fs::path(m_release) / path,
                     pelvane::RepositoryLayout::fileIn(m_incoming, path), file, *work.chunks))
    {
        return "cannot copy " + path;
    }
    work.chunks->finish();
    work.beat = file.size;
    return {};
}

std::string VersionBuilder::placeObjects(FileWork& work)
{
    pelvane::ManifestFile& file = work.file;
    const std::string& path = file.path;
    std::error_code error;
    if (file.size > 0)
    {
        if (work.whole.size < LARGE_OBJECT_BYTES &&
            (work.whole.size < file.size || file.size < STORED_OBJECT_BYTES))
        {
            work.smallObject = work.wholeSpool;
            file.bundled = pelvane::BundleRef{0, work.whole.size, work.whole.sha256};
            work.beat = work.whole.size;
        }
        else if (work.whole.size >= file.size)
        {
            fs::remove(work.wholeSpool, error); // it does not shrink: the file is its own object
        }
        else
        {
            if (std::string failure = place(
                    work.wholeSpool, pelvane::RepositoryLayout::compressedIn(m_incoming, path));
                !failure.empty())
            {
                return failure;
            }
            file.compressed = pelvane::ObjectRef{work.whole.size, work.whole.sha256};
            work.beat = work.whole.size;
            // the twin, for clients that hold some of its chunks already
            if (!work.framedSpool.empty() && work.framed.size < file.size &&
                work.chunks->finish().setCompressedLengths(work.framed.frames))
            {
                if (std::string failure =
                        place(work.framedSpool,
                              pelvane::RepositoryLayout::framedIn(m_incoming, path));
                    !failure.empty())
                {
                    return failure;
                }
                file.framed = pelvane::ObjectRef{work.framed.size, work.framed.sha256};
                work.framedSpool.clear();
            }
        }
        if (!work.framedSpool.empty())
        {
            fs::remove(work.framedSpool, error); // a small object needs no twin
        }
    }
    if (!work.chunks->write(pelvane::RepositoryLayout::chunkIndexIn(m_incoming, path), file))
    {
        return "cannot write the chunk index of " + path;
    }
    work.chunks.reset();
    // a delta no smaller than the object would only cost the client a
    // source lookup and an apply
    for (auto& [sourceSha, delta] : work.deltas)
    {
        if (delta.size() >= work.beat)
        {
            delta.clear();
        }
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
    runInParallel(paths.size(), [&](std::size_t i) { failures[i] = copyFile(paths[i], work[i]); });
    for (const std::string& failure : failures)
    {
        if (!failure.empty())
        {
            return failure;
        }
    }
    if (std::string failure = makeObjectsAndDeltas(sources, work); !failure.empty())
    {
        return failure;
    }
    std::uint64_t raw = 0;
    std::uint64_t large = 0;
    std::uint64_t small = 0;
    std::size_t largeCount = 0;
    std::size_t smallCount = 0;
    for (FileWork& item : work)
    {
        if (std::string failure = placeObjects(item); !failure.empty())
        {
            return failure;
        }
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
    const std::string failure = writeBundle(sources, work, version);
    fs::remove_all(fs::path(m_incoming) / WORK_FOLDER, error);
    return failure;
}

std::string VersionBuilder::makeObjectsAndDeltas(const std::vector<SourceVersion>& sources,
                                                 std::vector<FileWork>& work)
{
    // Every compression and every delta is a task of its own, all in one
    // queue, the largest files' first: the few large files (one browser
    // library is most of its release) take longer than all the others
    // together, so their objects, twins and deltas run side by side from
    // the start instead of one after the other at the end.
    enum class Kind
    {
        Whole,
        Framed,
        Delta
    };
    struct Task
    {
        std::size_t file;
        Kind kind;
        std::size_t source = 0;
        const pelvane::ManifestFile* from = nullptr;
        deltas::DeltaMethod method = deltas::DeltaMethod::Suffix;
    };
    const std::vector<deltas::DeltaMethod> methods = deltas::DeltaOptions{}.methods;
    std::vector<std::map<std::string, const pelvane::ManifestFile*>> byPath(sources.size());
    // a file with no file at its path in a source version (renamed, moved)
    // starts from the one a client finds among its related local files
    std::vector<std::unique_ptr<pelvane::RelatedFiles>> byName(sources.size());
    for (std::size_t s = 0; s < sources.size(); ++s)
    {
        std::vector<pelvane::LocalFile> listed;
        const std::vector<pelvane::ManifestFile>& files = sources[s].listed.files;
        for (std::size_t i = 0; i < files.size(); ++i)
        {
            byPath[s][files[i].path] = &files[i];
            // no inodes here: a distinct one each, so that no file is taken
            // for another's second path
            listed.push_back({files[i].path, files[i].path, files[i].size, 0, i});
        }
        byName[s] = std::make_unique<pelvane::RelatedFiles>(
            listed, std::unordered_set<std::string>{}, false);
    }
    const auto sourceOf = [&](std::size_t s, const pelvane::ManifestFile& file)
        -> const pelvane::ManifestFile*
    {
        if (const auto found = byPath[s].find(file.path); found != byPath[s].end())
        {
            return found->second;
        }
        // one source per version: the most likely of the related files
        const std::vector<const pelvane::LocalFile*> related =
            byName[s]->candidates(file.path, file.size, 1);
        return related.empty() ? nullptr : byPath[s].at(related.front()->relative);
    };
    std::vector<Task> tasks;
    for (std::size_t f = 0; f < work.size(); ++f)
    {
        FileWork& item = work[f];
        item.deltas.resize(sources.size());
        if (item.file.size == 0)
        {
            continue;
        }
        const std::string spool =
            m_incoming + "/" + WORK_FOLDER + "/" + pelvane::sha256Hex(item.file.path);
        item.wholeSpool = spool;
        tasks.push_back({f, Kind::Whole});
        // only a file above the limit can have a large object, and only a
        // large object gets a twin
        if (item.file.size >= LARGE_OBJECT_BYTES)
        {
            item.framedSpool = spool + ".framed";
            tasks.push_back({f, Kind::Framed});
        }
        std::set<std::string> seen{item.file.sha256};
        for (std::size_t s = 0; s < sources.size(); ++s)
        {
            const pelvane::ManifestFile* from = sourceOf(s, item.file);
            if (from != nullptr && seen.insert(from->sha256).second && from->size > 0)
            {
                for (const deltas::DeltaMethod method : methods)
                {
                    if (method != deltas::DeltaMethod::Suffix || from->size <= SUFFIX_SOURCE_LIMIT)
                    {
                        tasks.push_back({f, Kind::Delta, s, from, method});
                    }
                }
            }
        }
    }
    std::stable_sort(tasks.begin(), tasks.end(), [&](const Task& a, const Task& b)
                     { return work[a.file].file.size > work[b.file].file.size; });
    std::mutex results;
    std::vector<std::string> failures(tasks.size());
    runInParallel(
        tasks.size(),
        [&](std::size_t t)
        {
            const Task& task = tasks[t];
            FileWork& target = work[task.file];
            const std::string targetPath =
                pelvane::RepositoryLayout::fileIn(m_incoming, target.file.path);
            if (task.kind == Kind::Whole)
            {
                failures[t] = compress(targetPath, target.wholeSpool, nullptr, {}, target.whole);
                return;
            }
            if (task.kind == Kind::Framed)
            {
                std::vector<std::uint32_t> lengths;
                const pelvane::ChunkIndex& index = target.chunks->finish();
                lengths.reserve(index.chunks().size());
                for (const pelvane::Chunk& chunk : index.chunks())
                {
                    lengths.push_back(chunk.length);
                }
                deltas::CompressionOptions options;
                options.level = FRAMED_LEVEL;
                failures[t] =
                    compress(targetPath, target.framedSpool, &lengths, options, target.framed);
                return;
            }
            const std::string sourcePath =
                pelvane::RepositoryLayout::fileIn(sources[task.source].folder, task.from->path);
            std::string warning;
            if (!fileMatches(sourcePath, *task.from))
            {
                warning = task.method == deltas::DeltaMethod::PatchFrom
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
                // judged against the object once it is made (placeObjects)
                const deltas::CodecStatus status =
                    deltas::chooseDelta(sourcePath, targetPath,
                                        std::numeric_limits<std::uint64_t>::max(), options,
                                        choice, &stored);
                if (!status.ok())
                {
                    warning = "no " + std::string(deltas::deltaMethodName(task.method)) +
                              " delta from " + sourcePath + ": " + status.describe();
                }
                const std::lock_guard<std::mutex> lock(results);
                // the smaller of the methods' blobs (on a tie the lower
                // method, whichever finished first)
                auto& [sourceSha, kept] = target.deltas[task.source];
                if (status.ok() && choice.kept && choice.delta.size() < target.file.size &&
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
    for (const std::string& failure : failures)
    {
        if (!failure.empty())
        {
            return failure;
        }
    }
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
