// Readers shared by the repository's JSON documents (ChannelManifest,
// FileList): bounded parsing, and fields that are either right or refused.
#pragma once

#include "pelvane/trust/Manifest.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelvane::jsonfields
{
// The JSON object in `bytes`, or a discarded value with `error` set when the
// text is too long, nested deeper than `maxDepth` or no object. `what` names
// the document in the error.
nlohmann::json parseObject(std::string_view bytes, std::size_t maxBytes, std::size_t maxDepth,
                           const char* what, std::string& error);

bool isLowerHex(std::string_view text, std::size_t length);
// A string member of at most maxBytes.
bool text(const nlohmann::json& object, const char* name, std::string& out, std::size_t maxBytes);
// An unsigned integer member of at most `max`.
bool count(const nlohmann::json& object, const char* name, std::uint64_t& out, std::uint64_t max);
// {"size": n, "sha256": "<64 hex>"} with n at most maxSize.
bool objectRef(const nlohmann::json& value, ObjectRef& ref, std::uint64_t maxSize);
// An optional {"size", "sha256"} member: false when it is there but bad.
bool optionalObjectRef(const nlohmann::json& object, const char* name,
                       std::optional<ObjectRef>& ref, std::uint64_t maxSize);
// The integer "format" member, or -1.
int formatOf(const nlohmann::json& object);

// The zstd data `compressed` decoded into at most maxBytes; empty with
// `error` set (naming `what`) when it is no zstd data, cut, or decodes to more.
std::optional<std::string> decompress(std::string_view compressed, std::size_t maxBytes,
                                      const char* what, std::string& error);
// `text` as one zstd frame at `level`; empty when compressing failed.
std::string compress(std::string_view text, int level);
} // namespace pelvane::jsonfields
