// Manifest signatures, the UTC expiry form and the remembered serials,
// without a server: what is accepted, and the reason for each refusal.
#include "pelvane/base/HexText.h"
#include "pelvane/trust/ChannelEnvelope.h"
#include "pelvane/trust/ManifestSignature.h"
#include "pelvane/trust/SerialStore.h"
#include "pelvane/trust/UtcTime.h"
#include "publisher/SigningKey.h"

#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace pelvane;
using publisher::SigningKey;
namespace fs = std::filesystem;

namespace
{
const std::string MANIFEST = R"({"format":2,"product":"P"})";

std::string signedBy(const std::vector<const SigningKey*>& keys, const std::string& text)
{
    std::string file;
    for (const SigningKey* key : keys)
    {
        file += ManifestSignature::formatLine(key->sign(text));
    }
    return file;
}

ManifestSignature::Check check(const std::string& pin, const std::string& text,
                               const std::string& signature)
{
    std::string problem;
    return ManifestSignature::check(pin, text, signature, problem);
}
} // namespace

TEST(SignatureTest, OnlyASignatureByThePinnedKeyOverTheExactBytesIsAccepted)
{
    const auto key = SigningKey::generate();
    const auto other = SigningKey::generate();
    ASSERT_TRUE(key && other);
    const std::string signature = signedBy({&*key}, MANIFEST);
    EXPECT_EQ(check(key->pin(), MANIFEST, signature), ManifestSignature::Check::Verified);
    // a pin typed in capitals is still the same pin
    std::string upper = key->pin();
    for (char& c : upper)
    {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(check(upper, MANIFEST, signature), ManifestSignature::Check::Verified);
    EXPECT_EQ(check(key->pin(), MANIFEST + " ", signature),
              ManifestSignature::Check::DoesNotVerify);
    EXPECT_EQ(check(other->pin(), MANIFEST, signature), ManifestSignature::Check::NoPinnedKey);
    EXPECT_EQ(check(key->pin(), MANIFEST, signedBy({&*other}, MANIFEST)),
              ManifestSignature::Check::NoPinnedKey);

    // someone else's signature presented with our public key
    std::vector<SignatureLine> lines;
    std::string problem;
    ASSERT_TRUE(ManifestSignature::parse(signedBy({&*other}, MANIFEST), lines, problem));
    lines[0].publicKey = key->rawPublicKey();
    EXPECT_EQ(check(key->pin(), MANIFEST, ManifestSignature::formatLine(lines[0])),
              ManifestSignature::Check::DoesNotVerify);
}

TEST(SignatureTest, TwoSignaturesLetClientsPinnedToEitherKeyAccept)
{
    const auto oldKey = SigningKey::generate();
    const auto newKey = SigningKey::generate();
    const auto stranger = SigningKey::generate();
    const std::string both = signedBy({&*oldKey, &*newKey}, MANIFEST);
    EXPECT_EQ(check(oldKey->pin(), MANIFEST, both), ManifestSignature::Check::Verified);
    EXPECT_EQ(check(newKey->pin(), MANIFEST, both), ManifestSignature::Check::Verified);
    EXPECT_EQ(check(stranger->pin(), MANIFEST, both), ManifestSignature::Check::NoPinnedKey);
}

TEST(SignatureTest, MalformedSignatureFilesAreRefusedWithAReason)
{
    const auto key = SigningKey::generate();
    const std::string good = signedBy({&*key}, MANIFEST);
    const std::vector<std::string> malformed = {
        "",
        "\n\n",
        good.substr(0, good.size() - 20),                   // cut short
        good.substr(0, 60),                                 // cut inside the key
        "rsa " + good.substr(8),                            // another algorithm
        std::string(64, 'a') + "\n",                        // the old shared-key form
        good + "garbage\n",                                 // a bad line beside a good one
        good.substr(0, 100) + "zz" + good.substr(102),      // not hex
        std::string(ManifestSignature::MAX_BYTES + 1, '#'), // too large
    };
    for (const std::string& text : malformed)
    {
        SCOPED_TRACE(text.substr(0, 80));
        std::string problem;
        EXPECT_EQ(ManifestSignature::check(key->pin(), MANIFEST, text, problem),
                  ManifestSignature::Check::Malformed);
        EXPECT_FALSE(problem.empty());
    }
    // a good line before a bad one is not handed out either
    std::vector<SignatureLine> lines;
    std::string problem;
    EXPECT_FALSE(ManifestSignature::parse(good + "garbage\n", lines, problem));
    EXPECT_TRUE(lines.empty());
    ManifestSignature::check(key->pin(), MANIFEST, std::string(64, 'a'), problem);
    EXPECT_NE(problem.find("old"), std::string::npos) << problem;
    // comments, blank lines and CRLF are fine
    EXPECT_EQ(check(key->pin(), MANIFEST, "# made by hand\r\n\r\n" + good),
              ManifestSignature::Check::Verified);
}

TEST(SignatureTest, ThePinIsTheFirstHalfOfTheSha256OfTheRawPublicKey)
{
    // RFC 8032 test 1 public key; its SHA-256 computed independently (sha256sum)
    std::string raw;
    ASSERT_TRUE(fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", raw));
    EXPECT_EQ(ManifestSignature::pinOf(raw), "21fe31dfa154a261626bf854046fd227");
    EXPECT_TRUE(ManifestSignature::isPin("0123456789ABCDEFabcdef0123456789"));
    EXPECT_FALSE(ManifestSignature::isPin("0123456789abcdef0123456789abcde"));
    EXPECT_FALSE(ManifestSignature::isPin("0123456789abcdef0123456789abcdeg"));
    // RFC 8032 test 1: the empty message
    std::string signature;
    ASSERT_TRUE(fromHex("e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
                        "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b",
                        signature));
    EXPECT_TRUE(ManifestSignature::verifyOne(raw, signature, ""));
    EXPECT_FALSE(ManifestSignature::verifyOne(raw, signature, "x"));
}

TEST(ManifestExpiryTest, UtcTextsRoundTripAndImpossibleDatesAreRefused)
{
    EXPECT_EQ(parseUtc("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(parseUtc("2000-03-01T00:00:00Z"), 951868800);
    EXPECT_EQ(parseUtc("2024-02-29T23:59:59Z"), 1709251199);
    EXPECT_EQ(formatUtc(1709251199), "2024-02-29T23:59:59Z");
    for (const char* bad : {"2023-02-29T00:00:00Z", "2024-13-01T00:00:00Z", "2024-01-01T24:00:00Z",
                            "2024-01-01T00:00:00", "2024-1-01T00:00:00Z", "+024-01-01T00:00:00Z",
                            "2024-01-01T00:00:60Z", ""})
    {
        EXPECT_FALSE(parseUtc(bad).has_value()) << bad;
    }
}

TEST(SerialStoreTest, KeepsTheHighestSerialPerChannelPrivatelyAndSurvivesCorruption)
{
    qortest::TempFolder temp;
    const std::string path = temp / "state/pelvane/serials.json";
    const SerialStore store(path);
    EXPECT_EQ(store.highest("P", "A/EN"), 0U);
    EXPECT_EQ(store.record("P", "A/EN", 7), 0);
    EXPECT_EQ(store.record("P", "A/EN", 5), 0) << "a lower serial is no error";
    EXPECT_EQ(store.record("P", "B/EN", 2), 0);
    EXPECT_EQ(store.highest("P", "A/EN"), 7U);
    EXPECT_EQ(store.highest("P", "B/EN"), 2U);
    EXPECT_EQ(store.highest("Q", "A/EN"), 0U);
    const auto open = fs::perms::group_all | fs::perms::others_all;
    EXPECT_EQ(fs::status(path).permissions() & open, fs::perms::none);
    EXPECT_EQ(fs::status(temp / "state/pelvane").permissions() & open, fs::perms::none);

    for (const std::string& junk : {std::string("{not json"), std::string("[1,2]"),
                                    std::string("\0\0\0", 3), std::string(R"({"P A/EN":"x"})")})
    {
        qortest::writeTextFile(path, junk);
        EXPECT_EQ(store.highest("P", "A/EN"), 0U);
        EXPECT_EQ(store.record("P", "A/EN", 3), 0);
        EXPECT_EQ(store.highest("P", "A/EN"), 3U);
    }
    fs::remove(path);
    fs::create_directory(path); // unreadable as a file
    EXPECT_EQ(store.highest("P", "A/EN"), 0U);
    EXPECT_NE(store.record("P", "A/EN", 4), 0);
}

TEST(SerialStoreTest, LivesUnderXdgStateHomeElseTheHomeFolder)
{
    const char* savedState = std::getenv("XDG_STATE_HOME");
    const std::string keepState = savedState != nullptr ? savedState : "";
    const std::string keepHome = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "/root";
    ::setenv("XDG_STATE_HOME", "/tmp/xdg-state", 1);
    EXPECT_EQ(SerialStore::defaultPath(), "/tmp/xdg-state/pelvane/serials.json");
    ::setenv("XDG_STATE_HOME", "relative/is/ignored", 1);
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(SerialStore::defaultPath(), "/home/someone/.local/state/pelvane/serials.json");
    ::setenv("HOME", keepHome.c_str(), 1);
    if (savedState != nullptr)
    {
        ::setenv("XDG_STATE_HOME", keepState.c_str(), 1);
    }
    else
    {
        ::unsetenv("XDG_STATE_HOME");
    }
}

TEST(ChannelEnvelopeTest, PayloadAndSignaturesComeApartExactlyAndOtherFormsAreTold)
{
    const std::string lines = "ed25519 aa bb\ned25519 cc dd\n";
    const std::string payload = "{\"format\":3}\n\nand more\n";
    std::string_view signatures;
    std::string_view body;
    std::string problem;
    const std::string whole = ChannelEnvelope::compose(lines, payload);
    ASSERT_EQ(ChannelEnvelope::split(whole, signatures, body, problem),
              ChannelEnvelope::Split::Done);
    EXPECT_EQ(signatures, lines);
    EXPECT_EQ(body, payload) << "the payload is every byte after the first empty line";
    const struct
    {
        std::string bytes;
        ChannelEnvelope::Split split;
        const char* says;
    } others[] = {
        {"qor-channel 4\n" + lines + "\n" + payload, ChannelEnvelope::Split::NotAChannel,
         "format 4"},
        {R"({"format":2,"versions":[]})", ChannelEnvelope::Split::NotAChannel, "not a channel"},
        {"qor-channel 3\n" + lines, ChannelEnvelope::Split::Cut, "before its payload"},
        {"qor-channel 3", ChannelEnvelope::Split::Cut, "before its signatures"},
    };
    for (const auto& other : others)
    {
        EXPECT_EQ(ChannelEnvelope::split(other.bytes, signatures, body, problem), other.split)
            << other.bytes;
        EXPECT_NE(problem.find(other.says), std::string::npos) << problem;
    }
}
