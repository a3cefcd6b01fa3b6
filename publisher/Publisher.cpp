#include "publisher/Publisher.h"

#include "publisher/ChunkIndexFiles.h"

#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/trust/Manifest.h"
#include "pelvane/trust/ManifestSignature.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
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

bool readWhole(const fs::path& path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        return false;
    }
    bytes.clear();
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
    {
        bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    return !in.bad();
}

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

struct ChannelPaths
{
    std::string application;
    std::string language;
    fs::path folder;
    fs::path manifest;
    fs::path signature;
};

ChannelPaths channelPaths(const ChannelAddress& where)
{
    ChannelPaths paths;
    const std::size_t slash = where.channel.find('/');
    if (slash != std::string::npos)
    {
        paths.application = where.channel.substr(0, slash);
        paths.language = where.channel.substr(slash + 1);
    }
    paths.folder = fs::path(where.repository) / where.product / paths.application / paths.language;
    paths.manifest = paths.folder / pelvane::Manifest::FILE_NAME;
    paths.signature = paths.folder / (std::string(pelvane::Manifest::FILE_NAME) +
                                      pelvane::Manifest::SIGNATURE_SUFFIX);
    return paths;
}

std::int64_t secondsNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
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

ExitCode Publisher::readSigned(const ChannelAddress& where, const std::vector<SigningKey>& keys,
                               std::optional<pelvane::Manifest>& manifest)
{
    const ChannelPaths paths = channelPaths(where);
    std::error_code error;
    manifest.reset();
    if (!fs::exists(paths.manifest, error))
    {
        return EXIT_OK;
    }
    std::string bytes;
    std::string signature;
    if (!readWhole(paths.manifest, bytes))
    {
        return refuse(EXIT_IO_ERROR, "cannot read " + paths.manifest.string());
    }
    readWhole(paths.signature, signature);
    std::string problem = "no signature file";
    bool signedByUs = false;
    for (const SigningKey& key : keys)
    {
        if (pelvane::ManifestSignature::check(key.pin(), bytes, signature, problem) ==
            pelvane::ManifestSignature::Check::Verified)
        {
            signedByUs = true;
            break;
        }
    }
    if (!signedByUs)
    {
        return refuse(EXIT_KEY_MISMATCH, "the repository's manifest is not signed by any given "
                                         "key (" +
                                             problem + "); nothing changed");
    }
    manifest = pelvane::Manifest::parse(bytes, problem);
    if (!manifest)
    {
        return refuse(EXIT_BAD_INPUT, "the repository's manifest is unreadable: " + problem);
    }
    return EXIT_OK;
}

ExitCode Publisher::writeSigned(const ChannelAddress& where, pelvane::Manifest& manifest,
                                const std::vector<SigningKey>& keys, int expiresInDays)
{
    // a serial from the clock keeps growing even when a repository is rebuilt
    // from scratch; +1 covers several publications within one second
    const auto now = secondsNow();
    manifest.setSerial(
        std::max<std::uint64_t>(manifest.serial() + 1, static_cast<std::uint64_t>(now)));
    manifest.setExpires(now + static_cast<std::int64_t>(expiresInDays) * 86400);
    const std::string bytes = manifest.serialize();
    std::string problem;
    if (!pelvane::Manifest::parse(bytes, problem))
    {
        return refuse(EXIT_BAD_INPUT, "the new manifest would be refused: " + problem);
    }
    std::string signatures;
    for (const SigningKey& key : keys)
    {
        const pelvane::SignatureLine line = key.sign(bytes);
        if (line.signature.empty())
        {
            return refuse(EXIT_IO_ERROR, "signing failed");
        }
        signatures += pelvane::ManifestSignature::formatLine(line);
    }
    const ChannelPaths paths = channelPaths(where);
    // the signature first: a client that reads between the two renames sees
    // a mismatch and tries again, never a manifest signed for other bytes
    if (pelvane::safefiles::writeFileAtomically(paths.signature.string() + ".next", signatures) !=
            0 ||
        pelvane::safefiles::writeFileAtomically(paths.manifest.string(), bytes) != 0)
    {
        return refuse(EXIT_IO_ERROR, "cannot write the manifest or its signature");
    }
    std::error_code error;
    fs::rename(paths.signature.string() + ".next", paths.signature, error);
    if (error)
    {
        return refuse(EXIT_IO_ERROR, "cannot write the signature: " + error.message());
    }
    m_output << "Serial " << manifest.serial() << ", expires "
             << pelvane::Manifest::formatUtc(manifest.expires()) << "\n";
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
    if (request.keys.empty())
    {
        return refuse(EXIT_BAD_INPUT, "at least one --key-file is needed");
    }
    if (request.expiresInDays < 1 || request.expiresInDays > MAX_EXPIRY_DAYS)
    {
        return refuse(EXIT_BAD_INPUT, "--expires-in must be 1 to 3650 days");
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
    for (const std::string& path : paths)
    {
        // the chunk index of `path` is published as <path>.cidx beside it
        if (std::binary_search(paths.begin(), paths.end(), path + pelvane::ChunkIndex::SUFFIX) ||
            !pelvane::safefiles::isSafeRelativePath(path + pelvane::ChunkIndex::SUFFIX))
        {
            return refuse(EXIT_BAD_INPUT, "file name taken by the chunk index of another file, "
                                          "or too long for one: " +
                                              path);
        }
    }
    if (error)
    {
        return refuse(EXIT_IO_ERROR, "cannot read the release folder: " + error.message());
    }

    const ChannelPaths channel = channelPaths(request.where);
    std::optional<pelvane::Manifest> existing;
    if (const ExitCode refused = readSigned(request.where, request.keys, existing);
        refused != EXIT_OK)
    {
        return refused;
    }
    pelvane::Manifest manifest;
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

    // Copy into a fresh folder first; the version's folder is replaced only
    // once every file is in.
    const fs::path versionFolder = channel.folder / number->text();
    const fs::path incoming = channel.folder / (number->text() + ".incoming");
    fs::remove_all(incoming, error);
    fs::create_directories(incoming, error);
    if (error)
    {
        return refuse(EXIT_IO_ERROR, "cannot create " + incoming.string() + ": " + error.message());
    }
    pelvane::ManifestVersion version;
    version.number = *number;
    version.notes = request.notes;
    for (const std::string& path : paths)
    {
        pelvane::ManifestFile file;
        file.path = path;
        const fs::path destination = incoming / path;
        fs::create_directories(destination.parent_path(), error);
        ChunkIndexFiles::Builder chunks;
        if (error ||
            !copyAndHash(fs::path(request.releaseFolder) / path, destination, file, chunks) ||
            !chunks.write(ChunkIndexFiles::indexPath(incoming, path), file))
        {
            fs::remove_all(incoming, error);
            return refuse(EXIT_IO_ERROR, "cannot copy " + path);
        }
        version.files.push_back(std::move(file));
    }
    fs::remove_all(versionFolder, error);
    fs::rename(incoming, versionFolder, error);
    if (error)
    {
        return refuse(EXIT_IO_ERROR, "cannot move the files into " + versionFolder.string());
    }
    manifest.put(std::move(version));
    // payload first, manifest last: a client never sees a version whose files are missing
    return writeSigned(request.where, manifest, request.keys, request.expiresInDays);
}

ExitCode Publisher::resign(const ChannelAddress& where, const std::vector<SigningKey>& keys,
                           int expiresInDays)
{
    if (const ExitCode bad = checkAddress(where); bad != EXIT_OK)
    {
        return bad;
    }
    if (keys.empty())
    {
        return refuse(EXIT_BAD_INPUT, "at least one --key-file is needed");
    }
    if (expiresInDays < 1 || expiresInDays > MAX_EXPIRY_DAYS)
    {
        return refuse(EXIT_BAD_INPUT, "--expires-in must be 1 to 3650 days");
    }
    std::optional<pelvane::Manifest> manifest;
    if (const ExitCode refused = readSigned(where, keys, manifest); refused != EXIT_OK)
    {
        return refused;
    }
    if (!manifest)
    {
        return refuse(EXIT_BAD_INPUT,
                      "no manifest to re-sign in " + channelPaths(where).folder.string());
    }
    return writeSigned(where, *manifest, keys, expiresInDays);
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
    std::string signature;
    if (!readWhole(paths.manifest, bytes))
    {
        return refuse(EXIT_VERIFY_FAILED, "no manifest: " + paths.manifest.string());
    }
    if (!readWhole(paths.signature, signature))
    {
        return refuse(EXIT_VERIFY_FAILED, "no signature: " + paths.signature.string());
    }
    std::string lowerPin = pin;
    std::transform(lowerPin.begin(), lowerPin.end(), lowerPin.begin(),
                   [](char c)
                   { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    std::string problem;
    if (pelvane::ManifestSignature::check(lowerPin, bytes, signature, problem) !=
        pelvane::ManifestSignature::Check::Verified)
    {
        return refuse(EXIT_VERIFY_FAILED, "signature: " + problem);
    }
    const auto manifest = pelvane::Manifest::parse(bytes, problem);
    if (!manifest)
    {
        return refuse(EXIT_VERIFY_FAILED, "manifest: " + problem);
    }
    std::size_t faults = 0;
    const auto report = [&](const std::string& text)
    {
        m_errors << "qor-publish: " << text << "\n";
        ++faults;
    };
    if (manifest->product() != where.product ||
        manifest->channel() != paths.application + "/" + paths.language)
    {
        report("manifest is for " + manifest->product() + " " + manifest->channel());
    }
    if (manifest->expires() < secondsNow())
    {
        report("manifest expired at " + pelvane::Manifest::formatUtc(manifest->expires()) +
               " (run qor-publish resign)");
    }
    for (const pelvane::ManifestVersion& version : manifest->versions())
    {
        for (const pelvane::ManifestFile& file : version.files)
        {
            const fs::path path = paths.folder / version.number.text() / file.path;
            std::uint64_t size = 0;
            pelvane::Sha256 digest;
            int errorNumber = 0;
            if (pelvane::safefiles::regularFileSize(path.string(), size) != 0)
            {
                report("missing: " + version.number.text() + "/" + file.path);
            }
            else if (size != file.size)
            {
                report("wrong size: " + version.number.text() + "/" + file.path);
            }
            else if (!pelvane::hashFilePrefix(path.string(), size, digest, nullptr, errorNumber) ||
                     !pelvane::digestsEqual(file.sha256, digest.finishHex()))
            {
                report("wrong SHA-256: " + version.number.text() + "/" + file.path);
            }
            else if (file.chunks)
            {
                // a client trusts the index through this entry: it must describe the file
                const std::string wrong =
                    ChunkIndexFiles::check(paths.folder / version.number.text(), file);
                if (!wrong.empty())
                {
                    report("chunk index: " + version.number.text() + "/" + wrong);
                }
            }
        }
    }
    if (faults > 0)
    {
        return EXIT_VERIFY_FAILED;
    }
    m_output << "OK: serial " << manifest->serial() << ", expires "
             << pelvane::Manifest::formatUtc(manifest->expires()) << ", "
             << manifest->versions().size() << " versions\n";
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
