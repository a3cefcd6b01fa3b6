// libFuzzer target for the serial state file: whatever the file holds, the
// entries read from it are within the store's bounds, write back to a file
// within its size that reads back as the same entries, and a text the depth
// check lets through is never nested deeper than it allows.
#include "fuzz/FuzzCheck.h"
#include "pelvane/base/JsonDepth.h"
#include "pelvane/trust/SerialStore.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace
{
using fuzzcheck::check;

std::size_t depthOf(const nlohmann::json& value)
{
    std::size_t deepest = 0;
    if (value.is_structured())
    {
        for (const auto& inner : value)
        {
            deepest = std::max(deepest, depthOf(inner));
        }
        return deepest + 1;
    }
    return 0;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using pelvane::SerialStore;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    std::string problem;
    const std::optional<SerialStore::Entries> entries = SerialStore::parse(text, problem);

    // the depth check lets nothing deeper through to the parser, and refuses
    // no shallow document (the parser stops at a NUL byte, the check does not)
    const bool shallow = pelvane::jsonNestingWithin(text, SerialStore::MAX_DEPTH);
    const nlohmann::json parsed = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (!parsed.is_discarded())
    {
        const bool parsedShallow = depthOf(parsed) <= SerialStore::MAX_DEPTH;
        check(!shallow || parsedShallow, "nothing deeper passes the depth check");
        check(shallow || !parsedShallow || text.find('\0') != std::string_view::npos,
              "no shallow document refused");
    }

    if (!entries)
    {
        check(!problem.empty(), "a refusal says why");
        return 0;
    }
    check(parsed.is_object(), "entries only from an object");
    check(entries->size() <= SerialStore::MAX_ENTRIES, "entries bounded");
    for (const auto& [name, serial] : *entries)
    {
        check(!name.empty() && name.size() <= SerialStore::MAX_NAME_BYTES, "names bounded");
        check(parsed.contains(name) && parsed.at(name).is_number_unsigned() &&
                  parsed.at(name).get<std::uint64_t>() == serial,
              "each entry as the file holds it");
    }
    const std::string written = SerialStore::serialize(*entries);
    check(written.size() <= SerialStore::MAX_BYTES, "a rewrite fits the size bound");
    std::string again;
    const std::optional<SerialStore::Entries> reread = SerialStore::parse(written, again);
    check(reread && *reread == *entries, "a rewrite reads back as the same entries");
    return 0;
}
