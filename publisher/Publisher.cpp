#include "publisher/Publisher.h"

#include "publisher/ChunkIndexFiles.h"
#include "publisher/ObjectChecks.h"
#include "publisher/VersionBuilder.h"

#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/trust/ChannelEnvelope.h"
#include "pelvane/trust/FileList.h"
#include "pelvane/trust/ManifestSignature.h"
#include "pelvane/trust/ManifestTrust.h"
#include "pelvane/trust/RepositoryLayout.h"
#include "pelvane/trust/UtcTime.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <vector>

namespace publisher
{
namespace fs = std::filesystem;

namespace
{
bool isSafeComponent(const std::string& text)
{
    return text.find('/') == std::string::npos && pelvane::safefiles::isSafeRelativePath(text);
}

struct ChannelPaths
{
    std::string application;
    std::string language;
    pelvane::RepositoryLayout layout{{}, {}, {}};
    std::string channel;        // channel.qor
    std::string formerManifest; // what a format 2 repository holds instead
};

// Mirrors and caches revalidate channel.qor by Last-Modified (whole seconds)
// and, on nginx, an ETag of the modification second and the size: a second
// top level of the same size written within the same second would look
// unchanged to every client holding the first.
void stampLaterThan(const std::string& path, std::filesystem::file_time_type previous)
{
    using std::chrono::floor;
    using std::chrono::seconds;
    std::error_code failed;
    const auto now = std::filesystem::last_write_time(path, failed);
    if (!failed && floor<seconds>(now) <= floor<seconds>(previous))
    {
        std::filesystem::last_write_time(path, floor<seconds>(previous) + seconds(1), failed);
    }
}

ChannelPaths channelPaths(const ChannelAddress& where)
{
    ChannelPaths paths;
    const std::size_t slash = where.channel.find('/');
    if (slash != std::string::npos)
    {
        paths.application = where.channel.substr(0, slash);
        paths.language = where.channel.substr(slash + 1);
    }
    paths.layout = pelvane::RepositoryLayout(where.product, paths.application, paths.language);
    paths.channel = paths.layout.channel().path(where.repository);
    paths.formerManifest = paths.layout.formerManifest().path(where.repository);
    return paths;
}

std::int64_t secondsNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The size and SHA-256 of a published object, against what the file list says.
std::string checkObject(const std::string& path, const pelvane::ObjectRef& expected)
{
    std::uint64_t size = 0;
    pelvane::Sha256 digest;
    int errorNumber = 0;
    if (pelvane::safefiles::regularFileSize(path, size) != 0)
    {
        return "missing";
    }
    if (size != expected.size)
    {
        return "wrong size";
    }
    if (!pelvane::hashFilePrefix(path, size, digest, nullptr, errorNumber) ||
        !pelvane::digestsEqual(expected.sha256, digest.finishHex()))
    {
        return "wrong SHA-256";
    }
    return {};
}

// An object named by the file list, read whole once its size and SHA-256 hold.
std::string readObject(const std::string& path, const pelvane::ObjectRef& expected,
                       std::string& bytes)
{
    if (std::string wrong = checkObject(path, expected); !wrong.empty())
    {
        return wrong;
    }
    return pelvane::safefiles::readSmallFile(path, bytes, static_cast<std::size_t>(expected.size)) ==
                   0
               ? std::string()
               : "unreadable";
}

objectchecks::Bytes bytesOf(const std::string& bytes)
{
    return {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()};
}

// What an old repository's manifest.json says about it.
std::string formerFormat(const std::string& manifestPath)
{
    std::string bytes;
    pelvane::safefiles::readSmallFile(manifestPath, bytes, 1024U * 1024U);
    const auto root = nlohmann::json::parse(bytes, nullptr, false);
    const bool sharedKey = root.is_object() && root.value("format", 0) == 1;
    return "the repository is in the old " +
           std::string(sharedKey ? "shared-key form (format 1)" : "format 2") + " (" +
           manifestPath + ")";
}

// A piece of a file at `offset`, against its size and SHA-256.
bool pieceMatches(const std::string& bytes, std::uint64_t offset, const pelvane::ObjectRef& piece)
{
    return offset <= bytes.size() && piece.size <= bytes.size() - offset &&
           pelvane::digestsEqual(piece.sha256,
                                 pelvane::sha256Hex(std::string_view(bytes).substr(
                                     static_cast<std::size_t>(offset),
                                     static_cast<std::size_t>(piece.size))));
}
} // namespace

ExitCode Publisher::refuse(ExitCode code, const std::string& message)
{
    m_errors << "qor-publish: " << message << "\n";
    return code;
}

ExitCode Publisher::checkAddress(const ChannelAddress& where)
{
    const ChannelPaths paths = channelPaths(where);
    if (!isSafeComponent(where.product) || !isSafeComponent(paths.application) ||
        !isSafeComponent(paths.language))
    {
        return refuse(EXIT_BAD_INPUT, "product and channel (APPLICATION/LANGUAGE) must be plain "
                                      "names without '/', '.' or '..'");
    }
    return EXIT_OK;
}

ExitCode Publisher::checkSigning(const std::vector<SigningKey>& keys, int expiresInDays)
{
    if (keys.empty())
    {
        return refuse(EXIT_BAD_INPUT, "at least one --key-file is needed");
    }
    if (expiresInDays < 1 || expiresInDays > MAX_EXPIRY_DAYS)
    {
        return refuse(EXIT_BAD_INPUT, "--expires-in must be 1 to 3650 days");
    }
    return EXIT_OK;
}

ExitCode Publisher::readSigned(const ChannelAddress& where, const std::vector<SigningKey>& keys,
                               std::optional<pelvane::ChannelManifest>& manifest)
{
    const ChannelPaths paths = channelPaths(where);
    manifest.reset();
    m_history.reset();
    if (!pelvane::safefiles::pathExists(paths.channel))
    {
        if (pelvane::safefiles::pathExists(paths.formerManifest))
        {
            return refuse(EXIT_KEY_MISMATCH, formerFormat(paths.formerManifest) +
                                                 ", which clients no longer read; publish its "
                                                 "releases again into an empty repository "
                                                 "folder; nothing changed");
        }
        return EXIT_OK;
    }
    std::string bytes;
    if (pelvane::safefiles::readSmallFile(paths.channel, bytes, pelvane::ChannelEnvelope::MAX_BYTES) !=
        0)
    {
        return refuse(EXIT_IO_ERROR, "cannot read " + paths.channel);
    }
    std::string_view signatures;
    std::string_view payload;
    std::string problem;
    bool signedByUs = false;
    if (pelvane::ChannelEnvelope::split(bytes, signatures, payload, problem) ==
        pelvane::ChannelEnvelope::Split::Done)
    {
        for (const SigningKey& key : keys)
        {
            if (pelvane::ManifestSignature::check(key.pin(), payload, signatures, problem) ==
                pelvane::ManifestSignature::Check::Verified)
            {
                signedByUs = true;
                break;
            }
        }
    }
    if (!signedByUs)
    {
        return refuse(EXIT_KEY_MISMATCH, "the repository's channel.qor is not signed by any given "
                                         "key (" +
                                             problem + "); nothing changed");
    }
    manifest = pelvane::ChannelManifest::parse(payload, problem);
    if (!manifest)
    {
        return refuse(EXIT_BAD_INPUT, "the repository's channel.qor is unreadable: " + problem);
    }
    m_history = historyOf(where);
    if (const std::string wrong = m_history->read(*manifest); !wrong.empty())
    {
        manifest.reset();
        return refuse(EXIT_BAD_INPUT, "the repository's " + wrong + "; nothing changed");
    }
    return EXIT_OK;
}

HistoryFiles Publisher::historyOf(const ChannelAddress& where) const
{
    const ChannelPaths paths = channelPaths(where);
    return HistoryFiles(where.repository, paths.layout, where.product,
                        paths.application + "/" + paths.language);
}

ExitCode Publisher::writeSigned(const ChannelAddress& where, pelvane::ChannelManifest& manifest,
                                const std::vector<SigningKey>& keys, int expiresInDays,
                                const std::vector<pelvane::ChannelVersion>& dropped)
{
    // a serial from the clock keeps growing even when a repository is rebuilt
    // from scratch; +1 covers several publications within one second
    const auto now = secondsNow();
    manifest.setSerial(
        std::max<std::uint64_t>(manifest.serial() + 1, static_cast<std::uint64_t>(now)));
    manifest.setExpires(now + static_cast<std::int64_t>(expiresInDays) * 86400);
    if (!m_history)
    {
        m_history = historyOf(where);
    }
    // the history objects first, channel.qor naming them last
    if (const std::string failed = m_history->write(manifest, m_output); !failed.empty())
    {
        return refuse(EXIT_IO_ERROR, failed);
    }
    const std::string payload = manifest.serialize();
    std::string problem;
    if (!pelvane::ChannelManifest::parse(payload, problem))
    {
        return refuse(EXIT_BAD_INPUT, "the new channel.qor would be refused: " + problem);
    }
    std::string signatures;
    for (const SigningKey& key : keys)
    {
        const pelvane::SignatureLine line = key.sign(payload);
        if (line.signature.empty())
        {
            return refuse(EXIT_IO_ERROR, "signing failed");
        }
        signatures += pelvane::ManifestSignature::formatLine(line);
    }
    const ChannelPaths paths = channelPaths(where);
    std::error_code ignored;
    const auto previous = std::filesystem::last_write_time(paths.channel, ignored);
    // one object, one rename: a client sees the old top level or the new one
    if (pelvane::safefiles::writeFileAtomically(
            paths.channel, pelvane::ChannelEnvelope::compose(signatures, payload)) != 0)
    {
        return refuse(EXIT_IO_ERROR, "cannot write " + paths.channel);
    }
    if (!ignored)
    {
        stampLaterThan(paths.channel, previous);
    }
    m_output << "Serial " << manifest.serial() << ", expires "
             << pelvane::formatUtc(manifest.expires()) << "\n";
    // only now that no signed top level names them
    if (const std::string failed = m_history->removeUnused(m_output); !failed.empty())
    {
        return refuse(EXIT_IO_ERROR, failed);
    }
    for (const pelvane::ChannelVersion& version : dropped)
    {
        const std::string folder = paths.layout.versionFolder(version.number.text()).path(where.repository);
        if (pelvane::safefiles::removeTree(folder) != 0)
        {
            return refuse(EXIT_IO_ERROR, "cannot delete " + folder);
        }
        m_output << "Pruned " << version.number.text() << "\n";
    }
    return EXIT_OK;
}

ExitCode Publisher::publish(const PublishRequest& request)
{
    if (const ExitCode bad = checkAddress(request.where); bad != EXIT_OK)
    {
        return bad;
    }
    const auto number = pelvane::VersionNumber::parse(request.version);
    if (!number)
    {
        return refuse(EXIT_BAD_INPUT,
                      "version must be a dotted number such as 1.2.0: " + request.version);
    }
    if (const ExitCode bad = checkSigning(request.keys, request.expiresInDays); bad != EXIT_OK)
    {
        return bad;
    }
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(request.releaseFolder, error)))
    {
        return refuse(EXIT_BAD_INPUT, "release folder not found: " + request.releaseFolder);
    }

    // The release: regular files only, every path one the library accepts.
    std::vector<std::string> paths;
    for (auto entry = fs::recursive_directory_iterator(request.releaseFolder, error);
         !error && entry != fs::recursive_directory_iterator(); entry.increment(error))
    {
        const fs::file_status status = entry->symlink_status();
        if (fs::is_directory(status))
        {
            continue;
        }
        const std::string relative =
            fs::relative(entry->path(), request.releaseFolder, error).generic_string();
        if (!fs::is_regular_file(status))
        {
            return refuse(EXIT_BAD_INPUT,
                          "not a regular file (links are not published): " + relative);
        }
        if (!pelvane::safefiles::isSafeRelativePath(relative))
        {
            return refuse(EXIT_BAD_INPUT, "file name the updater would refuse: " + relative);
        }
        paths.push_back(relative);
    }
    std::sort(paths.begin(), paths.end());
    if (error)
    {
        return refuse(EXIT_IO_ERROR, "cannot read the release folder: " + error.message());
    }
    if (paths.size() > pelvane::FileList::MAX_FILES)
    {
        return refuse(EXIT_BAD_INPUT, "more files than a version may hold (" +
                                          std::to_string(pelvane::FileList::MAX_FILES) + ")");
    }

    const ChannelPaths channel = channelPaths(request.where);
    std::optional<pelvane::ChannelManifest> existing;
    if (const ExitCode refused = readSigned(request.where, request.keys, existing);
        refused != EXIT_OK)
    {
        return refused;
    }
    pelvane::ChannelManifest manifest;
    manifest.setProduct(request.where.product);
    manifest.setChannel(channel.application + "/" + channel.language);
    if (existing)
    {
        if (existing->find(*number) != nullptr && !request.replace)
        {
            return refuse(EXIT_VERSION_EXISTS,
                          "version " + request.version + " is already published (use --replace)");
        }
        manifest = std::move(*existing);
    }

    {
        // refuse a pruning that would strand old clients before anything is written
        pelvane::ChannelManifest after = manifest;
        after.put({*number, {}, request.complete, 0, 0, {}});
        std::vector<pelvane::ChannelVersion> ignored;
        if (const ExitCode refused = dropOld(after, request.keepVersions, ignored);
            refused != EXIT_OK)
        {
            return refused;
        }
    }
    // Build the version in a fresh folder first; the version's folder is
    // replaced only once every object is in.
    const std::string versionFolder =
        channel.layout.versionFolder(number->text()).path(request.where.repository);
    const std::string incoming =
        channel.layout.incomingFolder(number->text()).path(request.where.repository);
    fs::remove_all(incoming, error);
    fs::create_directories(incoming, error);
    if (error)
    {
        return refuse(EXIT_IO_ERROR, "cannot create " + incoming + ": " + error.message());
    }
    pelvane::FileList list;
    list.product = manifest.product();
    list.channel = manifest.channel();
    list.version.number = *number;
    DeltaCache cache(request.cacheFolder.empty() ? DeltaCache::defaultFolder()
                                                 : request.cacheFolder);
    VersionBuilder builder(request.releaseFolder, incoming, cache, m_output, m_errors);
    std::string failure;
    try
    {
        failure = builder.build(
            paths, deltaSources(request.where, manifest, *number, request.deltaFrom), list.version);
    }
    catch (const std::exception& thrown) // out of memory on a worker, above all
    {
        failure = std::string("building the version failed: ") + thrown.what();
    }
    if (!failure.empty())
    {
        fs::remove_all(incoming, error);
        return refuse(EXIT_IO_ERROR, failure);
    }
    const std::string listBytes = list.encode();
    if (listBytes.empty() ||
        pelvane::safefiles::writeFileAtomically(pelvane::RepositoryLayout::listIn(incoming),
                                                listBytes) != 0)
    {
        fs::remove_all(incoming, error);
        return refuse(EXIT_IO_ERROR, "cannot write the file list of " + number->text());
    }
    fs::remove_all(versionFolder, error);
    fs::rename(incoming, versionFolder, error);
    if (error)
    {
        return refuse(EXIT_IO_ERROR, "cannot move the files into " + versionFolder);
    }
    pelvane::ChannelVersion entry;
    entry.number = *number;
    entry.notes = request.notes;
    entry.complete = request.complete;
    entry.fileCount = list.version.files.size();
    entry.totalSize = list.version.totalSize();
    entry.list = {listBytes.size(), pelvane::sha256Hex(listBytes)};
    manifest.put(std::move(entry));
    std::vector<pelvane::ChannelVersion> dropped;
    if (const ExitCode refused = dropOld(manifest, request.keepVersions, dropped);
        refused != EXIT_OK)
    {
        return refused;
    }
    // version folder first, channel.qor last: a client never sees a version
    // whose objects are missing
    return writeSigned(request.where, manifest, request.keys, request.expiresInDays, dropped);
}

std::vector<SourceVersion> Publisher::deltaSources(const ChannelAddress& where,
                                                   const pelvane::ChannelManifest& manifest,
                                                   const pelvane::VersionNumber& number,
                                                   std::size_t count)
{
    const ChannelPaths paths = channelPaths(where);
    const pelvane::ManifestTrust trust({}, where.product, paths.application + "/" + paths.language,
                                       pelvane::SerialStore(std::string()));
    std::vector<SourceVersion> sources;
    const auto& versions = manifest.versions();
    for (auto entry = versions.rbegin(); entry != versions.rend() && sources.size() < count;
         ++entry)
    {
        if (!(entry->number < number))
        {
            continue;
        }
        SourceVersion source;
        source.number = entry->number;
        source.folder = paths.layout.versionFolder(entry->number.text()).path(where.repository);
        std::string compressed;
        std::string problem = "cannot read it";
        // its files are trusted through its list, and the list through channel.qor
        if (pelvane::safefiles::readSmallFile(pelvane::RepositoryLayout::listIn(source.folder),
                                              compressed,
                                              static_cast<std::size_t>(entry->list.size)) == 0 &&
            trust.acceptList(*entry, compressed, source.listed, problem))
        {
            sources.push_back(std::move(source));
        }
        else
        {
            m_errors << "qor-publish: warning: no deltas from " << entry->number.text()
                     << ": its file list is refused (" << problem << ")\n";
        }
    }
    return sources;
}

ExitCode Publisher::resign(const ChannelAddress& where, const std::vector<SigningKey>& keys,
                           int expiresInDays)
{
    return prune(where, keys, 0, expiresInDays);
}

ExitCode Publisher::prune(const ChannelAddress& where, const std::vector<SigningKey>& keys,
                          std::size_t keep, int expiresInDays)
{
    if (const ExitCode bad = checkAddress(where); bad != EXIT_OK)
    {
        return bad;
    }
    if (const ExitCode bad = checkSigning(keys, expiresInDays); bad != EXIT_OK)
    {
        return bad;
    }
    std::optional<pelvane::ChannelManifest> manifest;
    if (const ExitCode refused = readSigned(where, keys, manifest); refused != EXIT_OK)
    {
        return refused;
    }
    if (!manifest)
    {
        return refuse(EXIT_BAD_INPUT, "no channel.qor in " +
                                          channelPaths(where).layout.channelFolder().path(
                                              where.repository));
    }
    std::vector<pelvane::ChannelVersion> dropped;
    if (const ExitCode refused = dropOld(*manifest, keep, dropped); refused != EXIT_OK)
    {
        return refused;
    }
    return writeSigned(where, *manifest, keys, expiresInDays, dropped);
}

ExitCode Publisher::dropOld(pelvane::ChannelManifest& manifest, std::size_t keep,
                            std::vector<pelvane::ChannelVersion>& dropped)
{
    if (keep == 0 || manifest.versions().size() <= keep)
    {
        return EXIT_OK;
    }
    const pelvane::ChannelVersion& oldestKept =
        manifest.versions()[manifest.versions().size() - keep];
    if (!oldestKept.complete)
    {
        // a client older than every kept version starts from the oldest kept
        // one: overlays alone would leave it without the files they never changed
        return refuse(EXIT_BAD_INPUT, "the oldest version kept, " + oldestKept.number.text() +
                                          ", is not published --complete; clients older than "
                                          "it could not be brought up to date; nothing changed");
    }
    dropped = manifest.keepNewest(keep);
    return EXIT_OK;
}

std::size_t Publisher::verifyVersion(const ChannelAddress& where,
                                     const pelvane::ChannelVersion& entry,
                                     std::map<std::string, objectchecks::DeltaSource>& sources)
{
    const ChannelPaths paths = channelPaths(where);
    const std::string version = entry.number.text();
    const std::string folder = paths.layout.versionFolder(version).path(where.repository);
    std::size_t faults = 0;
    // "<what>: <version>/<path>", as a user looks for the path
    const auto report = [&](const std::string& what, const std::string& path)
    {
        m_errors << "qor-publish: " << what << ": " << version << "/" << path << "\n";
        ++faults;
    };
    std::string compressed;
    const int readError = pelvane::safefiles::readSmallFile(
        pelvane::RepositoryLayout::listIn(folder), compressed,
        static_cast<std::size_t>(entry.list.size));
    pelvane::ManifestVersion listed;
    std::string problem = readError == EFBIG ? "it is longer than channel.qor says"
                                             : "cannot read it: " + std::string(std::strerror(readError));
    const pelvane::ManifestTrust trust({}, where.product, paths.application + "/" + paths.language,
                                       pelvane::SerialStore(std::string()));
    if (readError != 0 || !trust.acceptList(entry, compressed, listed, problem))
    {
        report("file list refused (" + problem + ")", pelvane::RepositoryLayout::LIST_FILE);
        return faults;
    }
    std::string bundle;
    if (listed.bundleSize)
    {
        const std::string bundlePath = pelvane::RepositoryLayout::bundleIn(folder);
        if (pelvane::safefiles::readSmallFile(bundlePath, bundle,
                                              static_cast<std::size_t>(*listed.bundleSize)) != 0 ||
            bundle.size() != *listed.bundleSize)
        {
            report("missing or of the wrong size", "bundle");
        }
        std::size_t applied = 0;
        for (const pelvane::DeltaRef& delta : listed.deltas)
        {
            for (const std::string& fault : objectchecks::checkDeltaSection(
                     bytesOf(bundle), delta, listed.files, sources, applied))
            {
                report(fault, "bundle");
            }
        }
        m_output << version << ": " << applied << " deltas applied and checked\n";
    }
    for (const pelvane::ManifestFile& file : listed.files)
    {
        const std::string filePath = pelvane::RepositoryLayout::fileIn(folder, file.path);
        if (const std::string wrong = checkObject(filePath, {file.size, file.sha256});
            !wrong.empty())
        {
            report(wrong, file.path);
            continue;
        }
        std::optional<pelvane::ChunkIndex> index;
        if (file.chunks)
        {
            // a client trusts the index through this entry: it must describe the file
            if (const std::string wrong = ChunkIndexFiles::check(folder, file, index);
                !wrong.empty())
            {
                report("chunk index", wrong);
            }
        }
        if (file.compressed)
        {
            std::string object;
            if (const std::string wrong = readObject(
                    pelvane::RepositoryLayout::compressedIn(folder, file.path), *file.compressed,
                    object);
                !wrong.empty())
            {
                report("compressed object " + wrong, file.path);
            }
            else if (const std::string bad = objectchecks::decodesToFile(bytesOf(object), file);
                     !bad.empty())
            {
                report("compressed object: " + bad, file.path);
            }
        }
        if (file.framed)
        {
            std::string object;
            if (const std::string wrong = readObject(
                    pelvane::RepositoryLayout::framedIn(folder, file.path), *file.framed, object);
                !wrong.empty())
            {
                report("framed object " + wrong, file.path);
            }
            else if (const std::string bad = index ? objectchecks::framesMatchChunks(
                                                         bytesOf(object), *index)
                                                   : "no chunk index to address it";
                     !bad.empty())
            {
                report("framed object: " + bad, file.path);
            }
        }
        if (file.bundled)
        {
            if (!pieceMatches(bundle, file.bundled->offset,
                              {file.bundled->size, file.bundled->sha256}))
            {
                report("its piece of the bundle does not match its file list entry", file.path);
            }
            else if (const std::string bad = objectchecks::decodesToFile(
                         bytesOf(bundle).subspan(static_cast<std::size_t>(file.bundled->offset),
                                                 static_cast<std::size_t>(file.bundled->size)),
                         file);
                     !bad.empty())
            {
                report("compressed object in the bundle: " + bad, file.path);
            }
        }
    }
    sources[version] = {folder, std::move(listed)};
    return faults;
}

ExitCode Publisher::verify(const ChannelAddress& where, const std::string& pin)
{
    if (const ExitCode bad = checkAddress(where); bad != EXIT_OK)
    {
        return bad;
    }
    if (!pelvane::ManifestSignature::isPin(pin))
    {
        return refuse(EXIT_BAD_INPUT, "--pin must be 32 hex digits (as keygen prints)");
    }
    const ChannelPaths paths = channelPaths(where);
    std::string bytes;
    if (pelvane::safefiles::readSmallFile(paths.channel, bytes,
                                          pelvane::ChannelEnvelope::MAX_BYTES) != 0)
    {
        if (pelvane::safefiles::pathExists(paths.formerManifest))
        {
            return refuse(EXIT_VERIFY_FAILED,
                          formerFormat(paths.formerManifest) + "; publish its releases again");
        }
        return refuse(EXIT_VERIFY_FAILED, "no channel.qor: " + paths.channel);
    }
    std::string lowerPin = pin;
    std::transform(lowerPin.begin(), lowerPin.end(), lowerPin.begin(),
                   [](char c)
                   { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    std::string_view signatures;
    std::string_view payload;
    std::string problem;
    if (pelvane::ChannelEnvelope::split(bytes, signatures, payload, problem) !=
            pelvane::ChannelEnvelope::Split::Done ||
        pelvane::ManifestSignature::check(lowerPin, payload, signatures, problem) !=
            pelvane::ManifestSignature::Check::Verified)
    {
        return refuse(EXIT_VERIFY_FAILED, "signature: " + problem);
    }
    auto manifest = pelvane::ChannelManifest::parse(payload, problem);
    if (!manifest)
    {
        return refuse(EXIT_VERIFY_FAILED, "channel.qor: " + problem);
    }
    const std::size_t listed = manifest->versions().size();
    std::size_t faults = 0;
    const auto report = [&](const std::string& text)
    {
        m_errors << "qor-publish: " << text << "\n";
        ++faults;
    };
    if (manifest->product() != where.product ||
        manifest->channel() != paths.application + "/" + paths.language)
    {
        report("channel.qor is for " + manifest->product() + " " + manifest->channel());
    }
    if (manifest->expires() < secondsNow())
    {
        report("channel.qor expired at " + pelvane::formatUtc(manifest->expires()) +
               " (run qor-publish resign)");
    }
    // every object of the chain as a client checks it; the versions it holds are checked below
    if (const std::string wrong = historyOf(where).read(*manifest); !wrong.empty())
    {
        report(wrong);
    }
    // oldest first, so that every version a delta starts from is checked before it is used
    std::map<std::string, objectchecks::DeltaSource> sources;
    for (const pelvane::ChannelVersion& version : manifest->versions())
    {
        faults += verifyVersion(where, version, sources);
    }
    if (faults > 0)
    {
        return EXIT_VERIFY_FAILED;
    }
    m_output << "OK: serial " << manifest->serial() << ", expires "
             << pelvane::formatUtc(manifest->expires()) << ", " << manifest->versions().size()
             << " versions";
    if (manifest->versions().size() > listed)
    {
        m_output << " (" << manifest->versions().size() - listed << " of them in the history)";
    }
    m_output << "\n";
    return EXIT_OK;
}

ExitCode Publisher::keygen(const std::string& keyFile)
{
    std::error_code error;
    if (fs::exists(fs::symlink_status(keyFile, error)))
    {
        return refuse(EXIT_BAD_INPUT, keyFile + " exists; a key is never overwritten");
    }
    const std::optional<SigningKey> key = SigningKey::generate();
    if (!key)
    {
        return refuse(EXIT_IO_ERROR, "key generation failed");
    }
    if (const int failed = key->save(keyFile); failed != 0)
    {
        return refuse(EXIT_IO_ERROR, "cannot write " + keyFile + ": " + std::strerror(failed));
    }
    m_output << key->pin() << "\n";
    return EXIT_OK;
}
} // namespace publisher
