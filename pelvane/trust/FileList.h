// <version>/list.json.zst: one version's files, as zstd-compressed JSON.
// The library takes it only when its compressed bytes have the size and
// SHA-256 that the signed channel.qor gives for it, and decompresses at
// most MAX_JSON_BYTES. Per file: path, size and SHA-256, and the objects
// generated from it ("cidx", and one of "zst" or "bundle"); per version the
// bundle's size and its delta sections. Fields a reader does not know are
// ignored.
#pragma once

#include "pelvane/trust/Manifest.h"

#include <optional>
#include <string>
#include <string_view>

namespace pelvane
{
class FileList
{
public:
    static constexpr std::size_t MAX_JSON_BYTES = 64U * 1024U * 1024U;
    static constexpr std::size_t MAX_DEPTH = 16;
    static constexpr std::size_t MAX_FILES = 50000;
    static constexpr std::size_t MAX_DELTA_SECTIONS = 64;
    static constexpr std::uint64_t MAX_FILE_SIZE = ManifestFile::MAX_SIZE;
    static constexpr int FORMAT = 3;
    static constexpr int COMPRESSION_LEVEL = 19;

    std::string product;
    std::string channel;
    // number, files, bundle and deltas; notes and `complete` live in channel.qor
    ManifestVersion version;

    // Empty with `error` set when the text is not a valid file list.
    static std::optional<FileList> parse(std::string_view json, std::string& error);
    std::string serialize() const;

    // The compressed form, as published and fetched.
    static std::optional<FileList> decode(std::string_view compressed, std::string& error);
    std::string encode() const;
};
} // namespace pelvane
