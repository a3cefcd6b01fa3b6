// The signed top level and the file lists shared by library and publisher,
// version order, and the path rules that keep writes inside Extract and Target.
#include "pelvane/trust/ChannelEnvelope.h"
#include "pelvane/trust/ChannelHistory.h"
#include "pelvane/trust/ChannelManifest.h"
#include "pelvane/trust/FileList.h"
#include "pelvane/base/SafeFiles.h"
#include "pelvane/base/Sha256.h"
#include "pelvane/net/RetryPolicy.h"
#include "pelvane/session/ProgressState.h"

#include <gtest/gtest.h>
#include <zstd.h>

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

TEST(ManifestTest, SerializedChannelAndFileListParseBackWithEverything)
{
    const auto entry = [](const char* number, bool complete)
    {
        ChannelVersion version;
        version.number = *VersionNumber::parse(number);
        version.notes = std::string("notes of ") + number;
        version.complete = complete;
        version.fileCount = 2;
        version.totalSize = 3;
        version.list = {81, std::string(64, 'd')};
        return version;
    };
    ChannelManifest manifest;
    manifest.setProduct("P");
    manifest.setChannel("A/L");
    manifest.put(entry("2.0", true));
    manifest.put(entry("1.10", false));
    manifest.put(entry("1.9", false));
    manifest.setSerial(42);
    manifest.setExpires(1893456000 + 3661);
    std::string error;
    const auto parsed = ChannelManifest::parse(manifest.serialize(), error);
    ASSERT_TRUE(parsed) << error;
    ASSERT_EQ(parsed->versions().size(), 3U);
    EXPECT_EQ(parsed->versions()[0].number.text(), "1.9");
    EXPECT_EQ(parsed->versions()[1].number.text(), "1.10");
    EXPECT_TRUE(parsed->versions()[2].complete);
    EXPECT_EQ(parsed->versions()[2].notes, "notes of 2.0");
    EXPECT_EQ(parsed->versions()[2].list.sha256, std::string(64, 'd'));
    EXPECT_EQ(parsed->product(), "P");
    EXPECT_EQ(parsed->serial(), 42U);
    EXPECT_EQ(parsed->expires(), 1893456000 + 3661);
    EXPECT_NE(manifest.serialize().find(R"("expires":"2030-01-01T01:01:01Z")"), std::string::npos);
    manifest.put(entry("2.0.0", false));
    EXPECT_EQ(manifest.versions().size(), 3U) << "2.0.0 replaces 2.0";

    FileList list;
    list.product = "P";
    list.channel = "A/L";
    list.version = makeVersion("2.0", {{"b/c.txt", 3, std::string(64, 'a')},
                                       {"x", 0, std::string(64, 'b')}});
    list.version.files[0].chunks = ObjectRef{68, std::string(64, 'c')};
    list.version.files[0].compressed = ObjectRef{2, std::string(64, 'e')};
    list.version.files[1].bundled = BundleRef{10, 4, std::string(64, 'f')};
    list.version.bundleSize = 14;
    list.version.deltas.push_back({*VersionNumber::parse("1.9"), 0, 10, {6, std::string(64, '1')}});
    const auto back = FileList::decode(list.encode(), error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->serialize(), list.serialize());
    ASSERT_EQ(back->version.files.size(), 2U);
    EXPECT_EQ(back->version.files[0].compressed->size, 2U);
    EXPECT_EQ(back->version.files[1].bundled->offset, 10U);
    EXPECT_EQ(back->version.deltas.at(0).from.text(), "1.9");
}

TEST(ManifestTest, HostileManifestsAreRefusedWithAReason)
{
    const std::string hash(64, 'c');
    const std::string LIST = R"({"format":3,"product":"P","channel":"A/L","version":"1.0",)";
    const auto withFiles = [&](const std::string& files)
    { return LIST + R"("files":)" + files + "}"; };
    const std::vector<std::string> hostileLists = {
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
        // a compressed object twice, or a piece outside the bundle
        withFiles(R"([{"path":"a","size":1,"sha256":")" + hash + R"(","zst":{"size":1,"sha256":")" +
                  hash + R"("},"bundle":{"offset":0,"size":1,"sha256":")" + hash +
                  R"("}}],"bundle":{"size":5})"),
        withFiles(R"([{"path":"a","size":1,"sha256":")" + hash +
                  R"(","bundle":{"offset":4,"size":2,"sha256":")" + hash +
                  R"("}}],"bundle":{"size":5})"),
        R"({"format":2,"product":"P","channel":"A/L","version":"1.0","files":[]})",
        R"({"format":3,"product":"P","channel":"A/L","version":"../1","files":[]})",
        // a format number that only its low 32 bits make 3
        R"({"format":4294967299,"product":"P","channel":"A/L","version":"1.0","files":[]})",
    };
    for (const std::string& text : hostileLists)
    {
        std::string error;
        EXPECT_FALSE(FileList::parse(text, error).has_value()) << text.substr(0, 200);
        EXPECT_FALSE(error.empty());
    }

    const std::string HEAD =
        R"({"format":3,"product":"P","channel":"A/L","serial":3,"expires":"2030-01-01T00:00:00Z",)";
    const std::string LISTED = R"("fileCount":0,"totalSize":0,"list":{"size":9,"sha256":")" + hash +
                               R"("})";
    const std::vector<std::string> hostileChannels = {
        R"({"format":2,"product":"P","channel":"A/L","serial":1,"expires":"2030-01-01T00:00:00Z","versions":[]})",
        R"({"format":4294967299,"product":"P","channel":"A/L","serial":1,"expires":"2030-01-01T00:00:00Z","versions":[]})",
        HEAD + R"("versions":[{"version":"1.0",)" + LISTED + R"(},{"version":"1.0.0",)" + LISTED +
            "}]}",
        HEAD + R"("versions":[{"version":"../1",)" + LISTED + "}]}",
        HEAD + R"("versions":[{"version":"1.0","fileCount":50001,"totalSize":0,"list":{"size":9,"sha256":")" +
            hash + R"("}}]})",
        HEAD + R"("versions":[{"version":"1.0","complete":"yes",)" + LISTED + "}]}",
        HEAD + R"("versions":[{"version":"1.0","fileCount":0,"totalSize":0}]})",
        R"([1,2,3])",
        HEAD + R"("versions":[)",
        // freeze and rollback protection need both fields, well formed
        R"({"format":3,"product":"P","channel":"A/L","expires":"2030-01-01T00:00:00Z","versions":[]})",
        R"({"format":3,"product":"P","channel":"A/L","serial":0,"expires":"2030-01-01T00:00:00Z","versions":[]})",
        R"({"format":3,"product":"P","channel":"A/L","serial":-4,"expires":"2030-01-01T00:00:00Z","versions":[]})",
        R"({"format":3,"product":"P","channel":"A/L","serial":1,"versions":[]})",
        R"({"format":3,"product":"P","channel":"A/L","serial":1,"expires":"2030-02-30T00:00:00Z","versions":[]})",
        R"({"format":3,"product":"P","channel":"A/L","serial":1,"expires":"2030-01-01 00:00:00","versions":[]})",
        R"({"format":3,"product":"P","channel":"A/L","serial":1,"expires":1893456000,"versions":[]})",
        std::string(ChannelEnvelope::MAX_BYTES + 1, ' '),
        std::string(20, '[') + std::string(20, ']'),
    };
    for (const std::string& text : hostileChannels)
    {
        std::string error;
        EXPECT_FALSE(ChannelManifest::parse(text, error).has_value()) << text.substr(0, 200);
        EXPECT_FALSE(error.empty());
    }

    // compressed lists: not zstd, cut short, or inflating past the bound
    FileList small;
    small.product = "P";
    small.channel = "A/L";
    small.version = makeVersion("1.0", {{"a", 1, hash}});
    const std::string encoded = small.encode();
    const std::string zeros(FileList::MAX_JSON_BYTES + 1, ' ');
    std::string bomb(ZSTD_compressBound(zeros.size()), '\0');
    bomb.resize(ZSTD_compress(bomb.data(), bomb.size(), zeros.data(), zeros.size(), 1));
    for (const std::string& bytes : {std::string(LIST), encoded.substr(0, encoded.size() - 3), bomb})
    {
        std::string error;
        EXPECT_FALSE(FileList::decode(bytes, error).has_value());
        EXPECT_FALSE(error.empty());
    }
}

TEST(ManifestTest, AHistoryChainIsWalkedBackToItsEndButNoFurtherThanItsBound)
{
    // one version per object, 0.0 the oldest; each object names the one before
    const auto entry = [](std::size_t i)
    {
        ChannelVersion version;
        version.number = *VersionNumber::parse("0." + std::to_string(i));
        version.notes = "n" + std::to_string(i);
        version.list = {9, std::string(64, 'a')};
        return version;
    };
    std::vector<std::string> objects; // oldest first
    std::optional<ObjectRef> previous;
    for (std::size_t i = 0; i <= ChannelHistory::MAX_CHAIN_OBJECTS; ++i)
    {
        objects.push_back(ChannelHistory::encode("P", "A/L", {{entry(i)}, previous}));
        previous = ObjectRef{objects.back().size(), sha256Hex(objects.back())};
    }
    const auto topNaming = [&](std::size_t newest)
    {
        ChannelManifest top;
        top.put(entry(ChannelHistory::MAX_CHAIN_OBJECTS + 1));
        top.setHistory(ObjectRef{objects[newest].size(), sha256Hex(objects[newest])});
        return top;
    };
    std::string problem;
    {
        SCOPED_TRACE("a chain of three objects");
        HistoryChain chain("P", "A/L", topNaming(2));
        for (std::size_t i = 3; i-- > 0;)
        {
            ASSERT_TRUE(chain.next());
            ASSERT_TRUE(chain.take(objects[i], problem)) << problem;
        }
        EXPECT_FALSE(chain.next());
        const std::vector<ChannelVersion> versions = chain.releaseVersions();
        ASSERT_EQ(versions.size(), 3U);
        EXPECT_EQ(versions.front().number.text(), "0.0");
        EXPECT_EQ(versions.back().notes, "n2");
        EXPECT_EQ(chain.links().size(), 3U);
    }
    {
        SCOPED_TRACE("one object more than the bound");
        HistoryChain chain("P", "A/L", topNaming(ChannelHistory::MAX_CHAIN_OBJECTS));
        std::size_t taken = 0;
        for (std::size_t i = ChannelHistory::MAX_CHAIN_OBJECTS + 1; i-- > 0;)
        {
            if (!chain.take(objects[i], problem))
            {
                break;
            }
            ++taken;
        }
        EXPECT_EQ(taken, ChannelHistory::MAX_CHAIN_OBJECTS - 1);
        EXPECT_NE(problem.find("longer than"), std::string::npos) << problem;
    }
    {
        SCOPED_TRACE("another channel's history");
        ChannelManifest top = topNaming(0);
        HistoryChain chain("P", "B/L", top);
        EXPECT_FALSE(chain.take(objects[0], problem));
        EXPECT_NE(problem.find("history of P A/L"), std::string::npos) << problem;
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
