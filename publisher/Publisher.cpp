#include "publisher/Publisher.h"

#include "publisher/ChunkIndexFiles.h"

#include "pelvane/Manifest.h"
#include "pelvane/SafeFiles.h"
#include "pelvane/Sha256.h"

#include <algorithm>
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
} // namespace

ExitCode Publisher::refuse(ExitCode code, const std::string& message)
{
    m_errors << "qor-publish: " << message << "\n";
    return code;
}

ExitCode Publisher::publish(const PublishRequest& request)
{
    const std::size_t slash = request.channel.find('/');
    const std::string application =
        slash == std::string::npos ? std::string() : request.channel.substr(0, slash);
    const std::string language =
        slash == std::string::npos ? std::string() : request.channel.substr(slash + 1);
    if (!isSafeComponent(request.product) || !isSafeComponent(application) ||
        !isSafeComponent(language))
    {
        return refuse(EXIT_BAD_INPUT, "product and channel (APPLICATION/LANGUAGE) must be plain "
                                      "names without '/', '.' or '..'");
    }
    const auto number = pelvane::VersionNumber::parse(request.version);
    if (!number)
    {
        return refuse(EXIT_BAD_INPUT,
                      "version must be a dotted number such as 1.2.0: " + request.version);
    }
    if (request.key.empty())
    {
        return refuse(EXIT_BAD_INPUT, "the key must not be empty");
    }
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(request.releaseFolder, error)))
    {
        return refuse(EXIT_BAD_INPUT, "release folder not found: " + request.releaseFolder);
    }
    if (!fs::is_directory(request.repository, error))
    {
        return refuse(EXIT_BAD_INPUT, "repository folder not found: " + request.repository);
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

    const fs::path channel =
        fs::path(request.repository) / request.product / application / language;
    const fs::path manifestPath = channel / pelvane::Manifest::FILE_NAME;
    const fs::path signaturePath =
        channel / (std::string(pelvane::Manifest::FILE_NAME) + pelvane::Manifest::SIGNATURE_SUFFIX);
    pelvane::Manifest manifest;
    manifest.setProduct(request.product);
    manifest.setChannel(application + "/" + language);
    if (fs::exists(manifestPath, error))
    {
        std::string bytes;
        std::string signature;
        if (!readWhole(manifestPath, bytes))
        {
            return refuse(EXIT_IO_ERROR, "cannot read " + manifestPath.string());
        }
        if (!readWhole(signaturePath, signature) ||
            !pelvane::Manifest::verify(request.key, bytes, signature))
        {
            return refuse(EXIT_KEY_MISMATCH, "the repository's signature does not verify with "
                                             "this key; nothing changed");
        }
        std::string problem;
        auto existing = pelvane::Manifest::parse(bytes, problem);
        if (!existing)
        {
            return refuse(EXIT_BAD_INPUT, "the repository's manifest is unreadable: " + problem);
        }
        if (existing->find(*number) != nullptr && !request.replace)
        {
            return refuse(EXIT_VERSION_EXISTS,
                          "version " + request.version + " is already published (use --replace)");
        }
        manifest = std::move(*existing);
    }

    // Copy into a fresh folder first; the version's folder is replaced only
    // once every file is in.
    const fs::path versionFolder = channel / number->text();
    const fs::path incoming = channel / (number->text() + ".incoming");
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

    // Check what we are about to publish the way the library will read it.
    const std::string bytes = manifest.serialize();
    std::string problem;
    if (!pelvane::Manifest::parse(bytes, problem))
    {
        return refuse(EXIT_BAD_INPUT, "the new manifest would be refused: " + problem);
    }
    if (pelvane::safefiles::writeFileAtomically(manifestPath.string(), bytes) != 0 ||
        pelvane::safefiles::writeFileAtomically(
            signaturePath.string(), pelvane::Manifest::sign(request.key, bytes) + "\n") != 0)
    {
        return refuse(EXIT_IO_ERROR, "cannot write the manifest or its signature");
    }
    return EXIT_OK;
}
} // namespace publisher
