// libFuzzer target for the signature reader: a signature file it accepts
// holds 1 to MAX_LINES signatures of the right sizes that write back and read
// again as the same; one it refuses leaves nothing behind and says why.
// Whatever the input, it never verifies a text our key did not sign, and our
// key's signature over the input, among the input's own lines, verifies that
// input and nothing else.
#include "fuzz/FuzzCheck.h"
#include "pelvane/trust/ManifestSignature.h"
#include "publisher/SigningKey.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace
{
using fuzzcheck::check;

const publisher::SigningKey& ourKey()
{
    static const std::optional<publisher::SigningKey> key = publisher::SigningKey::generate();
    check(key.has_value(), "a key is made");
    return *key;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using pelvane::ManifestSignature;
    using pelvane::SignatureLine;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    std::vector<SignatureLine> lines = {SignatureLine{"left", "over"}};
    std::string problem;
    if (ManifestSignature::parse(text, lines, problem))
    {
        check(!lines.empty() && lines.size() <= ManifestSignature::MAX_LINES,
              "between one and the most signatures");
        std::string written;
        for (const SignatureLine& line : lines)
        {
            check(line.publicKey.size() == 32 && line.signature.size() == 64,
                  "keys and signatures of their sizes");
            written += ManifestSignature::formatLine(line);
        }
        std::vector<SignatureLine> again;
        check(ManifestSignature::parse(written, again, problem), "written lines read again");
        check(again.size() == lines.size(), "as many lines read again");
        for (std::size_t i = 0; i < lines.size(); ++i)
        {
            check(again[i].publicKey == lines[i].publicKey &&
                      again[i].signature == lines[i].signature,
                  "the same lines read again");
        }
    }
    else
    {
        check(lines.empty(), "a refused file yields no signatures");
        check(!problem.empty(), "a refusal says why");
    }

    const publisher::SigningKey& key = ourKey();
    const std::string message = "{\"format\":2,\"product\":\"Orvane\"}";
    check(ManifestSignature::check(key.pin(), message, text, problem) !=
              ManifestSignature::Check::Verified,
          "nothing verifies without our signature");

    // our signature over the input, after the input's own lines
    const std::string ours = ManifestSignature::formatLine(key.sign(text));
    std::string signature(text);
    if (!signature.empty() && signature.back() != '\n')
    {
        signature += '\n';
    }
    signature += ours;
    const ManifestSignature::Check mixed = ManifestSignature::check(key.pin(), text, signature, problem);
    check(mixed == ManifestSignature::Check::Verified || mixed == ManifestSignature::Check::Malformed,
          "our signature verifies unless the file around it is refused");
    check(ManifestSignature::check(key.pin(), text, ours, problem) ==
              ManifestSignature::Check::Verified,
          "our signature verifies what it signed");
    check(ManifestSignature::check(key.pin(), std::string(text) + " ", ours, problem) ==
              ManifestSignature::Check::DoesNotVerify,
          "our signature verifies nothing else");
    return 0;
}
