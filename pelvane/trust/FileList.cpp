#include "pelvane/trust/FileList.h"

#include "pelvane/base/SafeFiles.h"
#include "pelvane/trust/JsonFields.h"


#include <memory>
#include <set>

namespace pelvane
{
namespace
{
using nlohmann::json;
namespace field = jsonfields;

bool parseFile(const json& item, ManifestFile& file, std::optional<std::uint64_t> bundleSize,
               std::string& error)
{
    if (!item.is_object())
    {
        error = "file entry is not an object";
        return false;
    }
    if (!field::text(item, "path", file.path, safefiles::MAX_PATH_BYTES) ||
        !safefiles::isSafeRelativePath(file.path))
    {
        error = "unsafe or missing file path";
        return false;
    }
    if (!field::count(item, "size", file.size, FileList::MAX_FILE_SIZE))
    {
        error = "bad size of " + file.path;
        return false;
    }
    if (!field::text(item, "sha256", file.sha256, 64) || !field::isLowerHex(file.sha256, 64))
    {
        error = "bad sha256 of " + file.path;
        return false;
    }
    if (const auto cidx = item.find("cidx"); cidx != item.end())
    {
        ChunkIndexRef index;
        if (!field::objectRef(*cidx, index, FileList::MAX_FILE_SIZE))
        {
            error = "bad chunk index of " + file.path;
            return false;
        }
        file.chunks = std::move(index);
    }
    if (const auto zst = item.find("zst"); zst != item.end())
    {
        ObjectRef object;
        if (!field::objectRef(*zst, object, FileList::MAX_FILE_SIZE))
        {
            error = "bad compressed object of " + file.path;
            return false;
        }
        file.compressed = std::move(object);
    }
    if (const auto zsf = item.find("zsf"); zsf != item.end())
    {
        ObjectRef object;
        if (!field::objectRef(*zsf, object, FileList::MAX_FILE_SIZE) || !file.chunks)
        {
            error = "bad framed object of " + file.path;
            return false;
        }
        file.framed = std::move(object);
    }
    if (const auto bundle = item.find("bundle"); bundle != item.end())
    {
        BundleRef piece;
        ObjectRef object;
        if (!field::objectRef(*bundle, object, FileList::MAX_FILE_SIZE) ||
            !field::count(*bundle, "offset", piece.offset, FileList::MAX_FILE_SIZE) ||
            !bundleSize || piece.offset > *bundleSize || object.size > *bundleSize - piece.offset)
        {
            error = "bad bundle piece of " + file.path;
            return false;
        }
        piece.size = object.size;
        piece.sha256 = std::move(object.sha256);
        file.bundled = std::move(piece);
    }
    if (file.compressed && file.bundled)
    {
        error = "two compressed objects of " + file.path;
        return false;
    }
    return true;
}

bool parseDelta(const json& item, DeltaRef& delta, std::uint64_t bundleSize, std::string& error)
{
    error = "bad delta section";
    std::string from;
    std::optional<VersionNumber> number;
    if (!item.is_object() || !field::text(item, "from", from, 64) ||
        !(number = VersionNumber::parse(from)) ||
        !field::count(item, "offset", delta.offset, bundleSize) ||
        !field::count(item, "size", delta.size, bundleSize - delta.offset))
    {
        return false;
    }
    const auto index = item.find("index");
    if (index == item.end() || !field::objectRef(*index, delta.index, delta.size))
    {
        return false;
    }
    delta.from = *number;
    return true;
}

// "a" as a file and "a/b" beside it cannot both exist on disk
bool noFileIsAFolder(const std::set<std::string>& paths, std::string& error)
{
    for (const std::string& path : paths)
    {
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
        {
            if (paths.count(path.substr(0, slash)) != 0)
            {
                error = "path is both a file and a folder: " + path.substr(0, slash);
                return false;
            }
        }
    }
    return true;
}
} // namespace

std::optional<FileList> FileList::parse(std::string_view bytes, std::string& error)
{
    const json root = field::parseObject(bytes, MAX_JSON_BYTES, MAX_DEPTH, "file list", error);
    if (root.is_discarded())
    {
        return std::nullopt;
    }
    FileList list;
    std::string version;
    std::optional<VersionNumber> number;
    if (field::formatOf(root) != FORMAT || !field::text(root, "product", list.product, 256) ||
        !field::text(root, "channel", list.channel, 512) ||
        !field::text(root, "version", version, 64) || !(number = VersionNumber::parse(version)))
    {
        error = "file list without format 3, product, channel or version";
        return std::nullopt;
    }
    list.version.number = *number;
    if (const auto bundle = root.find("bundle"); bundle != root.end())
    {
        std::uint64_t size = 0;
        if (!field::count(*bundle, "size", size, MAX_FILE_SIZE))
        {
            error = "bad bundle size";
            return std::nullopt;
        }
        list.version.bundleSize = size;
    }
    const auto files = root.find("files");
    if (files == root.end() || !files->is_array() || files->size() > MAX_FILES)
    {
        error = "bad file list of " + version;
        return std::nullopt;
    }
    std::set<std::string> paths;
    for (const json& entry : *files)
    {
        ManifestFile file;
        if (!parseFile(entry, file, list.version.bundleSize, error))
        {
            return std::nullopt;
        }
        if (!paths.insert(file.path).second)
        {
            error = "duplicate path " + file.path;
            return std::nullopt;
        }
        list.version.files.push_back(std::move(file));
    }
    if (!noFileIsAFolder(paths, error))
    {
        return std::nullopt;
    }
    if (const auto deltas = root.find("deltas"); deltas != root.end())
    {
        if (!deltas->is_array() || deltas->size() > MAX_DELTA_SECTIONS || !list.version.bundleSize)
        {
            error = "bad delta sections";
            return std::nullopt;
        }
        for (const json& item : *deltas)
        {
            DeltaRef delta;
            if (!parseDelta(item, delta, *list.version.bundleSize, error))
            {
                return std::nullopt;
            }
            list.version.deltas.push_back(std::move(delta));
        }
    }
    return list;
}

std::string FileList::serialize() const
{
    json files = json::array();
    for (const ManifestFile& file : version.files)
    {
        json entry = {{"path", file.path}, {"size", file.size}, {"sha256", file.sha256}};
        if (file.chunks)
        {
            entry["cidx"] = {{"size", file.chunks->size}, {"sha256", file.chunks->sha256}};
        }
        if (file.compressed)
        {
            entry["zst"] = {{"size", file.compressed->size}, {"sha256", file.compressed->sha256}};
        }
        if (file.framed)
        {
            entry["zsf"] = {{"size", file.framed->size}, {"sha256", file.framed->sha256}};
        }
        if (file.bundled)
        {
            entry["bundle"] = {{"offset", file.bundled->offset},
                               {"size", file.bundled->size},
                               {"sha256", file.bundled->sha256}};
        }
        files.push_back(std::move(entry));
    }
    json root = {{"format", FORMAT},
                 {"product", product},
                 {"channel", channel},
                 {"version", version.number.text()},
                 {"files", files}};
    if (version.bundleSize)
    {
        root["bundle"] = {{"size", *version.bundleSize}};
    }
    if (!version.deltas.empty())
    {
        json deltas = json::array();
        for (const DeltaRef& delta : version.deltas)
        {
            deltas.push_back(
                {{"from", delta.from.text()},
                 {"offset", delta.offset},
                 {"size", delta.size},
                 {"index", {{"size", delta.index.size}, {"sha256", delta.index.sha256}}}});
        }
        root["deltas"] = deltas;
    }
    return root.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<FileList> FileList::decode(std::string_view compressed, std::string& error)
{
    const std::optional<std::string> json =
        jsonfields::decompress(compressed, MAX_JSON_BYTES, "file list", error);
    return json ? parse(*json, error) : std::nullopt;
}

std::string FileList::encode() const
{
    return jsonfields::compress(serialize(), COMPRESSION_LEVEL);
}
} // namespace pelvane
