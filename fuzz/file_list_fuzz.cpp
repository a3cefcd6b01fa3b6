// libFuzzer target for a version's file list, read from its JSON and from
// its compressed form: a list it accepts is of format 3, keeps within its
// bounds, names each safe path once with no file standing where a folder
// is, keeps every object inside the bundle, and writes back (plain and
// compressed) into a list that reads as the same; one it refuses says why.
#include "fuzz/FuzzCheck.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/trust/FileList.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace
{
using fuzzcheck::check;

using pelvane::FileList;
using pelvane::ManifestFile;

bool lowerHex(const std::string& text)
{
    return text.size() == 64 &&
           text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

void checkAccepted(const FileList& list, std::string_view json)
{
    if (!json.empty())
    {
        const nlohmann::json root = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
        check(root.is_object() && root.contains("format") && root["format"] == 3,
              "only format 3 is read as format 3");
    }
    const pelvane::ManifestVersion& version = list.version;
    check(version.files.size() <= FileList::MAX_FILES, "files bounded");
    check(version.deltas.size() <= FileList::MAX_DELTA_SECTIONS, "delta sections bounded");
    std::set<std::string> paths;
    for (const ManifestFile& file : version.files)
    {
        check(pelvane::safefiles::isSafeRelativePath(file.path), "safe paths");
        check(paths.insert(file.path).second, "each path once");
        check(file.size <= FileList::MAX_FILE_SIZE && lowerHex(file.sha256), "size and digest");
        check(!(file.compressed && file.bundled), "at most one compressed object");
        if (file.bundled)
        {
            check(version.bundleSize && file.bundled->offset <= *version.bundleSize &&
                      file.bundled->size <= *version.bundleSize - file.bundled->offset,
                  "bundle pieces inside the bundle");
        }
    }
    for (const std::string& path : paths)
    {
        for (std::size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
        {
            check(paths.count(path.substr(0, slash)) == 0, "no file where a folder is");
        }
    }
    for (const pelvane::DeltaRef& delta : version.deltas)
    {
        check(version.bundleSize && delta.offset <= *version.bundleSize &&
                  delta.size <= *version.bundleSize - delta.offset &&
                  delta.index.size <= delta.size,
              "delta sections inside the bundle");
    }

    std::string error;
    const std::string written = list.serialize();
    const std::optional<FileList> again = FileList::parse(written, error);
    check(again.has_value(), "what we write reads again");
    check(again->serialize() == written, "it reads as the same list");
    const std::optional<FileList> unpacked = FileList::decode(list.encode(), error);
    check(unpacked.has_value() && unpacked->serialize() == written,
          "the compressed form reads as the same list");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string error;
    if (const std::optional<FileList> list = FileList::parse(bytes, error))
    {
        checkAccepted(*list, bytes);
    }
    else
    {
        check(!error.empty(), "a refusal says why");
    }
    error.clear();
    if (const std::optional<FileList> list = FileList::decode(bytes, error))
    {
        checkAccepted(*list, {});
    }
    else
    {
        check(!error.empty(), "a refusal of compressed bytes says why");
    }
    return 0;
}
