#include "pelvane/trust/JsonFields.h"

#include "pelvane/base/JsonDepth.h"

#include <zstd.h>

#include <algorithm>
#include <limits>
#include <memory>

namespace pelvane::jsonfields
{
using nlohmann::json;

json parseObject(std::string_view bytes, std::size_t maxBytes, std::size_t maxDepth,
                 const char* what, std::string& error)
{
    if (bytes.size() > maxBytes)
    {
        error = std::string(what) + " too large";
        return json(json::value_t::discarded);
    }
    if (!jsonNestingWithin(bytes, maxDepth))
    {
        error = std::string(what) + " nested too deeply";
        return json(json::value_t::discarded);
    }
    json root = json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (root.is_discarded() || !root.is_object())
    {
        error = std::string(what) + " is not a JSON object";
        return json(json::value_t::discarded);
    }
    return root;
}

bool isLowerHex(std::string_view text, std::size_t length)
{
    return text.size() == length &&
           std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool text(const json& object, const char* name, std::string& out, std::size_t maxBytes)
{
    const auto found = object.find(name);
    if (found == object.end() || !found->is_string())
    {
        return false;
    }
    out = found->get<std::string>();
    return out.size() <= maxBytes;
}

bool count(const json& object, const char* name, std::uint64_t& out, std::uint64_t max)
{
    const auto found = object.find(name);
    if (found == object.end() || !found->is_number_unsigned() ||
        found->get<std::uint64_t>() > max)
    {
        return false;
    }
    out = found->get<std::uint64_t>();
    return true;
}

bool objectRef(const json& value, ObjectRef& ref, std::uint64_t maxSize)
{
    return value.is_object() && count(value, "size", ref.size, maxSize) &&
           text(value, "sha256", ref.sha256, 64) && isLowerHex(ref.sha256, 64);
}

bool optionalObjectRef(const json& object, const char* name, std::optional<ObjectRef>& ref,
                       std::uint64_t maxSize)
{
    const auto found = object.find(name);
    if (found == object.end())
    {
        ref.reset();
        return true;
    }
    ref.emplace();
    return objectRef(*found, *ref, maxSize);
}

int formatOf(const json& object)
{
    const auto format = object.find("format");
    // read whole: 4294967299 cut to an int would pass for 3
    if (format == object.end() || !format->is_number_integer())
    {
        return -1;
    }
    const auto value = format->get<std::int64_t>();
    return value >= 0 && value <= std::numeric_limits<int>::max() ? static_cast<int>(value) : -1;
}

std::optional<std::string> decompress(std::string_view compressed, std::size_t maxBytes,
                                      const char* what, std::string& error)
{
    const std::unique_ptr<ZSTD_DStream, decltype(&ZSTD_freeDStream)> stream(ZSTD_createDStream(),
                                                                           &ZSTD_freeDStream);
    if (!stream)
    {
        error = "out of memory";
        return std::nullopt;
    }
    // a window beyond what the publisher uses is a bomb, not a document
    ZSTD_DCtx_setParameter(stream.get(), ZSTD_d_windowLogMax, 27);
    std::string text;
    ZSTD_inBuffer in{compressed.data(), compressed.size(), 0};
    std::size_t pending = 1;
    char buffer[64 * 1024];
    while (in.pos < in.size || pending != 0)
    {
        ZSTD_outBuffer out{buffer, sizeof buffer, 0};
        pending = ZSTD_decompressStream(stream.get(), &out, &in);
        if (ZSTD_isError(pending))
        {
            error = std::string(what) + " is not zstd data: " + ZSTD_getErrorName(pending);
            return std::nullopt;
        }
        if (text.size() + out.pos > maxBytes)
        {
            error = std::string(what) + " too large";
            return std::nullopt;
        }
        text.append(buffer, out.pos);
        if (in.pos == in.size && out.pos == 0 && pending != 0)
        {
            error = std::string(what) + " is cut short";
            return std::nullopt;
        }
    }
    return text;
}

std::string compress(std::string_view text, int level)
{
    std::string compressed(ZSTD_compressBound(text.size()), '\0');
    const std::size_t size =
        ZSTD_compress(compressed.data(), compressed.size(), text.data(), text.size(), level);
    if (ZSTD_isError(size))
    {
        return {};
    }
    compressed.resize(size);
    return compressed;
}
} // namespace pelvane::jsonfields
