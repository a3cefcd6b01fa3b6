// The manifest shared by library and publisher, version order, and the
// path rules that keep writes inside Extract and Target.
#include "pelvane/trust/Manifest.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/net/RetryPolicy.h"
#include "pelvane/session/ProgressState.h"

#include <gtest/gtest.h>

using namespace pelvane;

namespace
{
ManifestVersion makeVersion(const char* number, std::vector<ManifestFile> files)
{
    ManifestVersion version;
    version.number = *VersionNumber::parse(number);
    version.files = std::move(files);
    return version;
}
} // namespace

TEST(VersionNumberTest, ComparesNumericallyPartByPart)
{
    const auto v = [](const char* text) { return *VersionNumber::parse(text); };
    EXPECT_LT(v("1.9"), v("1.10"));
    EXPECT_LT(v("1.2.3"), v("1.3"));
    EXPECT_EQ(v("1.2"), v("1.2.0"));
    EXPECT_LT(v("2"), v("10"));
    EXPECT_FALSE(v("3.0") < v("2.99.99"));
    for (const char* bad : {"", ".", "1.", ".1", "1..2", "a", "1.2-beta", "1.2.3.4.5.6.7.8.9",
                            "1234567890", "1 .2", "-1"})
    {
        EXPECT_FALSE(VersionNumber::parse(bad).has_value()) << bad;
    }
}

TEST(ManifestTest, SerializedManifestParsesBackSortedWithEverything)
{
    Manifest manifest;
    manifest.setProduct("P");
    manifest.setChannel("A/L");
    manifest.put(makeVersion("2.0", {{"b/c.txt", 3, std::string(64, 'a')}}));
    manifest.put(makeVersion("1.10", {{"x", 0, std::string(64, 'b')}}));
    manifest.put(makeVersion("1.9", {}));
    manifest.setSerial(42);
    manifest.setExpires(1893456000 + 3661);
    std::string error;
    const auto parsed = Manifest::parse(manifest.serialize(), error);
    ASSERT_TRUE(parsed) << error;
    ASSERT_EQ(parsed->versions().size(), 3U);
    EXPECT_EQ(parsed->versions()[0].number.text(), "1.9");
    EXPECT_EQ(parsed->versions()[1].number.text(), "1.10");
    EXPECT_EQ(parsed->versions()[2].files[0].path, "b/c.txt");
    EXPECT_EQ(parsed->versions()[2].files[0].size, 3U);
    EXPECT_EQ(parsed->product(), "P");
    EXPECT_EQ(parsed->serial(), 42U);
    EXPECT_EQ(parsed->expires(), 1893456000 + 3661);
    EXPECT_NE(manifest.serialize().find(R"("expires": "2030-01-01T01:01:01Z")"), std::string::npos);

    manifest.put(makeVersion("2.0.0", {}));
    EXPECT_EQ(manifest.versions().size(), 3U) << "2.0.0 replaces 2.0";
}

TEST(ManifestTest, HostileManifestsAreRefusedWithAReason)
{
    const std::string HEAD =
        R"({"format":2,"product":"P","channel":"A/L","serial":3,"expires":"2030-01-01T00:00:00Z",)";
    const std::string hash(64, 'c');
    const auto withFiles = [&](const std::string& files)
    { return HEAD + R"("versions":[{"version":"1.0","files":)" + files + "}]}"; };
    const std::vector<std::string> hostile = {
        withFiles(R"([{"path":"a/../../b","size":1,"sha256":")" + hash + R"("}])"),
        withFiles(R"([{"path":"a/./b","size":1,"sha256":")" + hash + R"("}])"),
        withFiles(R"([{"path":"a//b","size":1,"sha256":")" + hash + R"("}])"),
        withFiles(R"([{"path":"a/","size":1,"sha256":")" + hash + R"("}])"),
        withFiles(R"([{"path":"a\u0000b","size":1,"sha256":")" + hash + R"("}])"),
        withFiles(R"([{"path":"a\nb","size":1,"sha256":")" + hash + R"("}])"),
        withFiles(R"([{"path":"a","size":1.5,"sha256":")" + hash + R"("}])"),
        withFiles(R"([{"path":"a","size":1099511627777,"sha256":")" + hash + R"("}])"),
        withFiles(R"([{"path":"a","size":1,"sha256":")" + std::string(64, 'C') + R"("}])"),
        withFiles(R"([{"path":"a","size":1,"sha256":")" + hash +
                  R"("},{"path":"a","size":1,"sha256":")" + hash + R"("}])"),
        withFiles(R"([{"path":"a","size":1,"sha256":")" + hash +
                  R"("},{"path":"a/b","size":1,"sha256":")" + hash + R"("}])"),
        withFiles(R"({"path":"a"})"),
        R"({"format":3,"product":"P","channel":"A/L","serial":1,"expires":"2030-01-01T00:00:00Z","versions":[]})",
        HEAD + R"("versions":[{"version":"1.0","files":[]},{"version":"1.0.0","files":[]}]})",
        HEAD + R"("versions":[{"version":"../1","files":[]}]})",
        R"([1,2,3])",
        HEAD + R"("versions":[)",
        // freeze and rollback protection need both fields, well formed
        R"({"format":2,"product":"P","channel":"A/L","expires":"2030-01-01T00:00:00Z","versions":[]})",
        R"({"format":2,"product":"P","channel":"A/L","serial":0,"expires":"2030-01-01T00:00:00Z","versions":[]})",
        R"({"format":2,"product":"P","channel":"A/L","serial":-4,"expires":"2030-01-01T00:00:00Z","versions":[]})",
        R"({"format":2,"product":"P","channel":"A/L","serial":1,"versions":[]})",
        R"({"format":2,"product":"P","channel":"A/L","serial":1,"expires":"2030-02-30T00:00:00Z","versions":[]})",
        R"({"format":2,"product":"P","channel":"A/L","serial":1,"expires":"2030-01-01 00:00:00","versions":[]})",
        R"({"format":2,"product":"P","channel":"A/L","serial":1,"expires":1893456000,"versions":[]})",
        std::string(Manifest::MAX_BYTES + 1, ' '),
    };
    for (const std::string& text : hostile)
    {
        std::string error;
        EXPECT_FALSE(Manifest::parse(text, error).has_value()) << text.substr(0, 200);
        EXPECT_FALSE(error.empty());
    }
}

TEST(SafePathTest, OnlyPlainRelativePathsPass)
{
    for (const char* good : {"a", "a/b/c.txt", "with space/ü.txt", "..a", "a..", ".hidden"})
    {
        EXPECT_TRUE(safefiles::isSafeRelativePath(good)) << good;
    }
    for (const char* bad : {"", "/a", "a/", "../a", "a/..", "a/./b", "a\\b", "a\x01", "./a"})
    {
        EXPECT_FALSE(safefiles::isSafeRelativePath(bad)) << bad;
    }
    EXPECT_FALSE(safefiles::isSafeRelativePath(std::string(256, 'x')));
    EXPECT_FALSE(safefiles::isSafeRelativePath(std::string(2000, 'x')));
}

TEST(ProgressStateTest, BlocksAreSixtyFourKibibytesAndNeverExceedTheCount)
{
    EXPECT_EQ(ProgressState::blocksFor(0), 1);
    EXPECT_EQ(ProgressState::blocksFor(1), 1);
    EXPECT_EQ(ProgressState::blocksFor(65536), 1);
    EXPECT_EQ(ProgressState::blocksFor(65537), 2);
    EXPECT_EQ(ProgressState::blocksFor(1ULL << 60), INT32_MAX);
    ProgressState state;
    state.begin(2, 3);
    state.setBytesDone(10 * 65536);
    std::int32_t s, n, u, b, c;
    state.read(&s, &n, &u, &b, &c);
    EXPECT_EQ(s, 1);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(u, 1);
    EXPECT_EQ(b, 3);
    EXPECT_EQ(c, 3);
}

TEST(RetryPolicyTest, DelaysAreJitteredBoundedAndRespectRetryAfterUpToACap)
{
    RetryPolicy policy;
    for (int i = 0; i < 200; ++i)
    {
        const auto first = policy.delayAfter(1, -1).count();
        EXPECT_GE(first, RetryPolicy::BASE_DELAY_MS / 2);
        EXPECT_LT(first, RetryPolicy::BASE_DELAY_MS * 3 / 2);
        EXPECT_LT(policy.delayAfter(30, -1).count(), RetryPolicy::MAX_BACKOFF_MS * 3 / 2);
    }
    EXPECT_EQ(policy.delayAfter(1, 2000).count(), 2000);
    EXPECT_EQ(policy.delayAfter(1, 3600000).count(), RetryPolicy::MAX_RETRY_AFTER_MS);
}
