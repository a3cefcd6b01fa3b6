// Whole runs over repositories with compressed objects, a bundle of small
// objects and delta sections: each file takes its cheapest way, what does
// not verify falls back to the next way (never a wrong file), and what
// travels is read from nginx's access log.
#include "LogCapture.h"
#include "UpdateFixture.h"

#include "pelvane/base/Sha256.h"
#include "pelvane/deltas/Bundle.h"
#include "pelvane/deltas/DeltaCodec.h"
#include "pelvane/deltas/ObjectCompressor.h"

#include <nlohmann/json.hpp>
#include <zstd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <span>
#include <sstream>
#include <thread>

using namespace pelvanetest;
namespace fs = std::filesystem;

namespace
{
struct Served
{
    std::string uri;
    int status = 0;
    std::string range;
    std::uint64_t sent = 0;
};

// The lines of the fixture's nginx log format.
std::vector<Served> readAccessLog(const std::string& file)
{
    std::vector<Served> served;
    std::istringstream in(qortest::readTextFile(file));
    std::string line;
    while (std::getline(in, line))
    {
        std::istringstream fields(line);
        Served one;
        std::string method;
        fields >> method >> one.uri >> one.status;
        const std::size_t range = line.find("range=\"");
        one.range = line.substr(range + 7, line.find('"', range + 7) - range - 7);
        one.sent = std::stoull(line.substr(line.rfind("sent=") + 5));
        served.push_back(one);
    }
    return served;
}

std::size_t requestsFor(const std::vector<Served>& served, const std::string& uri)
{
    std::size_t count = 0;
    for (const Served& one : served)
    {
        count += one.uri == uri ? 1U : 0U;
    }
    return count;
}

std::string unzstd(const std::string& bytes)
{
    std::string out(ZSTD_getFrameContentSize(bytes.data(), bytes.size()), '\0');
    out.resize(ZSTD_decompress(out.data(), out.size(), bytes.data(), bytes.size()));
    return out;
}

class FileWaysTest : public UpdateFixture
{
protected:
    void TearDown() override
    {
        if (HasFailure())
        {
            std::cerr << m_log.text();
        }
        UpdateFixture::TearDown();
    }

    qortest::LogCapture m_log; // the library's way for each file, shown when a case fails
    // Text-like bytes that compress as software does, with a seed of their own.
    static std::string textData(std::size_t size, unsigned seed)
    {
        std::string data;
        std::uint32_t state = seed;
        while (data.size() < size)
        {
            state = state * 1664525U + 1013904223U;
            data += "entry " + std::to_string(state % 997) + " of table " +
                    std::to_string(seed) + (state % 7 == 0 ? " marked\n" : "\n");
        }
        data.resize(size);
        return data;
    }

    // A few bytes changed, as a point release changes a file.
    static std::string edited(std::string data, unsigned seed)
    {
        for (std::size_t at = 1000; at < data.size(); at += data.size() / 5 + 1)
        {
            data.replace(at, 8, "edit" + std::to_string(seed % 10000));
        }
        return data;
    }

    struct Objects
    {
        std::uint64_t bundleBelow = 64 * 1024; // smaller objects go into the bundle
        std::vector<std::string> deltaFrom;    // versions to make delta sections from
        std::map<std::string, std::string> object; // path: the object to announce instead
        std::map<std::string, std::string> delta;  // path: the delta blob to announce instead
    };

    std::string versionFolder(const std::string& version) const
    {
        return channelFolder() + "/" + version;
    }

    nlohmann::json readList(const std::string& version) const
    {
        return nlohmann::json::parse(
            unzstd(qortest::readTextFile(versionFolder(version) + "/list.json.zst")));
    }

    // Gives a published version compressed objects, a bundle and delta
    // sections made here by the codec layer instead of the publisher's,
    // rewrites its list and signs the channel again: the way to plant
    // signed objects that are hostile or broken.
    void addObjects(const std::string& version, const Objects& objects)
    {
        const std::string folder = versionFolder(version);
        nlohmann::json list = readList(version);
        // what the publisher made gives way to what is made here
        list.erase("bundle");
        list.erase("deltas");
        for (auto& file : list["files"])
        {
            file.erase("zst");
            file.erase("zsf");
            file.erase("bundle");
        }
        std::string bundle;
        pelvane::deltas::StringSink sink(bundle);
        pelvane::deltas::BundleWriter writer(sink);
        nlohmann::json sections = nlohmann::json::array();
        for (const std::string& from : objects.deltaFrom)
        {
            std::map<std::string, std::string> old;
            const nlohmann::json source = readList(from);
            for (const auto& file : source["files"])
            {
                old[file["path"].get<std::string>()] = file["sha256"].get<std::string>();
            }
            pelvane::deltas::DeltaSectionWriter section;
            for (std::size_t i = 0; i < list["files"].size(); ++i)
            {
                const std::string path = list["files"][i]["path"];
                if (old.count(path) == 0 || old[path] == list["files"][i]["sha256"])
                {
                    continue;
                }
                std::string blob;
                if (objects.delta.count(path) != 0)
                {
                    blob = objects.delta.at(path);
                }
                else
                {
                    const std::string before =
                        qortest::readTextFile(versionFolder(from) + "/files/" + path);
                    const std::string target = qortest::readTextFile(folder + "/files/" + path);
                    pelvane::deltas::DeltaOptions options;
                    // the publisher's level where it is quick enough for a test
                    options.patchFromLevel = target.size() < (8U << 20) ? 19 : 3;
                    ASSERT_TRUE(pelvane::deltas::makeDelta(pelvane::deltas::DeltaMethod::PatchFrom,
                                                           bytesOf(before), bytesOf(target),
                                                           options, blob)
                                    .ok());
                }
                ASSERT_TRUE(section.add(static_cast<std::uint32_t>(i), old[path], blob).ok());
            }
            pelvane::deltas::BundlePiece piece;
            pelvane::deltas::DeltaSectionSummary summary;
            ASSERT_TRUE(writer.appendSection(section, piece, summary).ok());
            sections.push_back({{"from", from},
                                {"offset", piece.offset},
                                {"size", summary.sectionSize},
                                {"index",
                                 {{"size", summary.indexSize}, {"sha256", summary.indexSha256}}}});
        }
        for (auto& file : list["files"])
        {
            const std::string path = file["path"];
            const std::string raw = qortest::readTextFile(folder + "/files/" + path);
            std::string object;
            if (objects.object.count(path) != 0)
            {
                object = objects.object.at(path);
            }
            else
            {
                ASSERT_TRUE(pelvane::deltas::compressBytes(raw.data(), raw.size(), 3, object).ok());
                if (object.size() >= raw.size())
                {
                    continue;
                }
            }
            if (raw.size() < objects.bundleBelow)
            {
                pelvane::deltas::BundlePiece piece;
                ASSERT_TRUE(writer.appendObject(bytesOf(object), piece).ok());
                file["bundle"] = {
                    {"offset", piece.offset}, {"size", piece.size}, {"sha256", piece.sha256}};
            }
            else
            {
                fs::create_directories(fs::path(folder + "/zst/" + path).parent_path());
                qortest::writeTextFile(folder + "/zst/" + path, object);
                file["zst"] = {{"size", object.size()}, {"sha256", pelvane::sha256Hex(object)}};
            }
        }
        if (!bundle.empty())
        {
            qortest::writeTextFile(folder + "/bundle", bundle);
            list["bundle"] = {{"size", bundle.size()}};
        }
        if (!sections.empty())
        {
            list["deltas"] = sections;
        }
        std::string packed;
        const std::string text = list.dump();
        ASSERT_TRUE(pelvane::deltas::compressBytes(text.data(), text.size(), 3, packed).ok());
        qortest::writeTextFile(folder + "/list.json.zst", packed);
        nlohmann::json payload = nlohmann::json::parse(channelPayload());
        for (auto& entry : payload["versions"])
        {
            if (entry["version"] == version)
            {
                entry["list"] = {{"size", packed.size()}, {"sha256", pelvane::sha256Hex(packed)}};
            }
        }
        writeSignedChannel(payload.dump());
    }

    static std::span<const unsigned char> bytesOf(const std::string& text)
    {
        return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
    }

    std::string uriOf(const std::string& version, const std::string& what) const
    {
        return "/" + PRODUCT + "/" + APPLICATION + "/" + LANGUAGE + "/" + version + "/" + what;
    }

    // 1.0.0 installed as a complete release.
    void install(const std::map<std::string, std::string>& files)
    {
        installFirstVersion(files, {"--complete"});
    }

    void expectTarget(const std::map<std::string, std::string>& files)
    {
        for (const auto& [path, content] : files)
        {
            EXPECT_TRUE(qortest::readTextFile(target() + "/" + path) == content) << path;
        }
    }

    // Serves the repository with nginx and updates from `from` (nothing
    // installed: empty), which must succeed with `expected` in Target;
    // `served` is what nginx sent.
    void updateThroughNginx(const std::map<std::string, std::string>& expected,
                            std::vector<Served>& served, const std::string& from = "1.0.0")
    {
        const std::string accessLog = temp() / "access.log";
        fs::remove(accessLog); // what an earlier run of the test was served
        qortest::ServerProcess web({"nginx", "--root", repo(), "--access-log", accessLog});
        ASSERT_TRUE(web.started()) << web.failure();
        const Outcome end = updateFrom(from, web.url());
        ASSERT_EQ(end.result, 1) << end.api << " " << end.primary;
        expectTarget(expected);
        served = readAccessLog(accessLog);
    }

    // Starts the update from 1.0.0 to 2.0.0 from `url` and waits, while it
    // runs, until `path` exists.
    bool startAndWaitFor(const std::string& url, const std::string& path,
                         std::chrono::seconds patience)
    {
        InitOptions options;
        options.url = url;
        options.version = "1.0.0";
        if (!startDownload(options, "2.0.0"))
        {
            return false;
        }
        const auto limit = std::chrono::steady_clock::now() + patience;
        while (!fs::exists(path) && status().status == 1 && std::chrono::steady_clock::now() < limit)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return fs::exists(path);
    }

    // Nothing came as the file itself or as its compressed object.
    static void expectNoWholeFiles(const std::vector<Served>& served)
    {
        for (const Served& one : served)
        {
            EXPECT_EQ(one.uri.find("/files/"), std::string::npos) << one.uri;
            EXPECT_EQ(one.uri.find("/zst/"), std::string::npos) << one.uri;
        }
    }
};
} // namespace

TEST_F(FileWaysTest, WhatIsHeldLocallyAnywhereIsNotFetchedAndDeltasComeInTheBundle)
{
    const std::string big = textData(600000, 1);
    const std::string small = textData(11276, 2);
    install({{"lib/big.so", big}, {"share/small.txt", small}, {"unchanged.txt", "same bytes"},
             {"old/place.dat", textData(5000, 3)}});
    fs::remove_all(target()); // the base store is the only local copy left
    const std::map<std::string, std::string> v2 = {{"lib/big.so", edited(big, 4)},
                                                   {"share/small.txt", edited(small, 5)},
                                                   {"unchanged.txt", "same bytes"},
                                                   {"new/place.dat", textData(5000, 3)},
                                                   {"added.txt", textData(3000, 6)},
                                                   {"twin/one.txt", textData(4000, 7)},
                                                   {"twin/two.txt", textData(4000, 7)}};
    publish("2.0.0", v2, "", false, {"--complete"});
    std::vector<Served> served;
    ASSERT_NO_FATAL_FAILURE(updateThroughNginx(v2, served));
    expectNoWholeFiles(served);
    std::uint64_t bundleBytes = 0;
    for (const Served& one : served)
    {
        bundleBytes += one.uri == uriOf("2.0.0", "bundle") ? one.sent : 0;
    }
    // the delta indexes, then the two deltas and the added file's object together
    EXPECT_EQ(requestsFor(served, uriOf("2.0.0", "bundle")), 2U);
    EXPECT_LT(bundleBytes, 20000U);
    // a file the update holds twice travels once
    EXPECT_NE(m_log.text().find("Way for twin/two.txt of 2.0.0: local copy, 0 bytes"), std::string::npos);
    const StatusSample last = status();
    EXPECT_EQ(last.currentBlock, last.nbBlock);
}

TEST_F(FileWaysTest, SmallFilesInTheBundleGetNoChunkIndexOnAFirstInstallOrWithoutADelta)
{
    // files the chunker indexes, all small enough for the bundle; the one of
    // random bytes does not shrink and is stored there
    const std::map<std::string, std::string> v1 = {{"a.txt", textData(40000, 1)},
                                                   {"b.txt", textData(30000, 2)},
                                                   {"c.txt", textData(20000, 3)},
                                                   {"d.bin", patternData(20000, 4)}};
    publish("1.0.0", v1);
    std::vector<Served> served;
    ASSERT_NO_FATAL_FAILURE(updateThroughNginx(v1, served, ""));
    expectNoWholeFiles(served);
    for (const Served& one : served)
    {
        EXPECT_EQ(one.uri.find("/cidx/"), std::string::npos) << one.uri;
    }
    EXPECT_EQ(requestsFor(served, uriOf("1.0.0", "bundle")), 1U);
    EXPECT_EQ(served.size(), 3U) << "channel.qor, the file list and the bundle";

    // changed, with no delta: its old copy could spare a chunk or two, fewer
    // bytes than the index and its request would cost
    std::map<std::string, std::string> v2 = v1;
    v2["a.txt"] = edited(v1.at("a.txt"), 5);
    publish("2.0.0", v2, "", false, {"--delta-from", "0"});
    ASSERT_NO_FATAL_FAILURE(updateThroughNginx(v2, served));
    expectNoWholeFiles(served);
    EXPECT_EQ(served.size(), 3U) << "channel.qor, the file list and the bundle";
}

TEST_F(FileWaysTest, APieceThatDoesNotVerifyFallsBackToTheNextWay)
{
    const std::map<std::string, std::string> v1 = {{"a.bin", textData(400000, 11)},
                                                   {"b.bin", textData(300000, 12)},
                                                   {"c.bin", textData(200000, 13)},
                                                   {"d.txt", textData(9000, 14)}};
    install(v1);
    std::map<std::string, std::string> v2;
    for (const auto& [path, content] : v1)
    {
        v2[path] = edited(content, 15);
    }
    publish("2.0.0", v2, "", false, {"--complete"});
    // a.bin: its delta is signed but no delta at all; b.bin: its delta was
    // made from another source than the one its index names
    std::string otherSource;
    pelvane::deltas::DeltaOptions options;
    options.patchFromLevel = 3;
    const std::string stranger = textData(300000, 99);
    ASSERT_TRUE(pelvane::deltas::makeDelta(pelvane::deltas::DeltaMethod::PatchFrom,
                                           bytesOf(stranger), bytesOf(v2["b.bin"]), options,
                                           otherSource)
                    .ok());
    addObjects("2.0.0", {.deltaFrom = {"1.0.0"},
                         .delta = {{"a.bin", std::string(700, 'x')}, {"b.bin", otherSource}}});
    // and their compressed objects: a.bin's damaged, b.bin's cut short
    const std::string zstFolder = versionFolder("2.0.0") + "/zst/";
    std::string damaged = qortest::readTextFile(zstFolder + "a.bin");
    damaged[damaged.size() / 2] ^= 0x55;
    qortest::writeTextFile(zstFolder + "a.bin", damaged);
    const std::string cut = qortest::readTextFile(zstFolder + "b.bin");
    qortest::writeTextFile(zstFolder + "b.bin", cut.substr(0, cut.size() / 2));
    std::vector<Served> served;
    ASSERT_NO_FATAL_FAILURE(updateThroughNginx(v2, served));
    // a.bin: delta, then a damaged compressed object, then the file
    EXPECT_EQ(requestsFor(served, uriOf("2.0.0", "files/a.bin")), 1U);
    // b.bin: the delta of another source is refused, the cut object too
    EXPECT_EQ(requestsFor(served, uriOf("2.0.0", "files/b.bin")), 1U);
    // c.bin and d.txt take their deltas
    EXPECT_EQ(requestsFor(served, uriOf("2.0.0", "files/c.bin")), 0U);
    EXPECT_EQ(requestsFor(served, uriOf("2.0.0", "zst/c.bin")), 0U);
    EXPECT_EQ(requestsFor(served, uriOf("2.0.0", "files/d.txt")), 0U);
    const StatusSample last = status();
    EXPECT_EQ(last.currentBlock, last.nbBlock) << "the fallbacks grew the plan";
}

TEST_F(FileWaysTest, ABombEndsWithCode9AndLeavesTargetAlone)
{
    const std::string before = textData(100000, 21);
    install({{"app.bin", before}});
    publish("2.0.0", {{"app.bin", textData(100000, 22)}}, "", false, {"--complete"});
    // a signed object that decodes to far more than the file's size
    const std::string flood(64 * 1024 * 1024, 'z');
    std::string bomb;
    ASSERT_TRUE(pelvane::deltas::compressBytes(flood.data(), flood.size(), 1, bomb).ok());
    addObjects("2.0.0", {.object = {{"app.bin", bomb}}});
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();
    const Outcome end = updateFrom("1.0.0", web.url());
    EXPECT_EQ(end.result, 0);
    EXPECT_EQ(end.api, 9);
    EXPECT_EQ(end.primary, 27);
    expectTarget({{"app.bin", before}});
}

TEST_F(FileWaysTest, ACompressedObjectResumesOnTheNextMirror)
{
    install({{"app.bin", "old"}});
    const std::string next = textData(3 * 1024 * 1024, 31);
    publish("2.0.0", {{"app.bin", next}}, "", false, {"--complete"});
    addObjects("2.0.0", {});
    const std::string object = qortest::readTextFile(versionFolder("2.0.0") + "/zst/app.bin");
    const std::string path = uriOf("2.0.0", "zst/app.bin");
    const std::string half = std::to_string(object.size() / 2);
    // cut half way, then overloaded for good
    qortest::ServerProcess first(
        {"faults", "--root", repo(), "--rule",
         R"({"path":")" + path + R"(","kind":"drop","after":)" + half + R"(,"times":1})",
         "--rule", R"({"path":")" + path + R"(","kind":"status","code":503,"retry_after":0})"});
    ASSERT_TRUE(first.started()) << first.failure();
    const std::string log = temp() / "second.log";
    qortest::ServerProcess second({"faults", "--root", repo(), "--requests-log", log});
    ASSERT_TRUE(second.started()) << second.failure();
    const Outcome end = updateFrom("1.0.0", first.url() + " " + second.url());
    ASSERT_EQ(end.result, 1) << end.api << " " << end.primary;
    expectTarget({{"app.bin", next}});
    std::vector<SeenRequest> objectRequests;
    for (const SeenRequest& request : readRequests(log))
    {
        EXPECT_EQ(request.path.find("/files/"), std::string::npos) << request.path;
        if (request.path == path)
        {
            objectRequests.push_back(request);
        }
    }
    ASSERT_EQ(objectRequests.size(), 1U);
    EXPECT_EQ(objectRequests[0].range, "bytes=" + half + "-");
    EXPECT_FALSE(objectRequests[0].ifRange.empty());
}

TEST_F(FileWaysTest, AClientWithNoDeltaPathTakesCompressedChunks)
{
    // large enough compressed for a framed object beside the whole one
    const std::string first = patternData(1536 * 1024, 41) + textData(1024 * 1024, 41);
    install({{"app.bin", first}});
    std::string changed = first;
    changed.replace(500000, 3000, patternData(3000, 42));
    publish("2.0.0", {{"app.bin", changed}}, "", false, {"--complete"});
    std::string third = changed;
    third.replace(1800000, 3000, patternData(3000, 43));
    publish("3.0.0", {{"app.bin", third}}, "", false, {"--complete"});
    std::string last = third;
    last.replace(100000, 2000, patternData(2000, 44));
    // deltas from the two versions before only: none from what this client holds
    publish("4.0.0", {{"app.bin", last}}, "", false, {"--complete", "--delta-from", "2"});
    std::vector<Served> served;
    ASSERT_NO_FATAL_FAILURE(updateThroughNginx({{"app.bin", last}}, served));
    expectNoWholeFiles(served);
    std::uint64_t ranged = 0;
    for (const Served& one : served)
    {
        if (one.uri == uriOf("4.0.0", "zsf/app.bin"))
        {
            EXPECT_FALSE(one.range.empty()) << "frames of chunks, not the whole object";
            ranged += one.sent;
        }
    }
    EXPECT_GT(ranged, 0U);
    EXPECT_LT(ranged, last.size() / 4);
}

TEST_F(FileWaysTest, ACancelDuringADeltaReturnsWithin100Ms)
{
    // random bytes: the publisher finds them quickest not to shrink
    const std::string big = patternData(12 * 1024 * 1024, 51);
    install({{"big.dat", big}});
    // the publisher's deltas of so large a file take long to make: one made here
    publish("2.0.0", {{"big.dat", edited(big, 52)}}, "", false, {"--complete", "--delta-from", "0"});
    addObjects("2.0.0", {.deltaFrom = {"1.0.0"}});
    qortest::ServerProcess web({"nginx", "--root", repo()});
    ASSERT_TRUE(web.started()) << web.failure();
    const std::string work = extract() + "/2.0.0/partial/big.dat.work";
    ASSERT_TRUE(startAndWaitFor(web.url(), work, std::chrono::seconds(60)))
        << "the delta was never applied";
    const auto asked = std::chrono::steady_clock::now();
    lib().closeDownload();
    ASSERT_TRUE(waitForEnd(std::chrono::seconds(5)));
    const auto took = std::chrono::steady_clock::now() - asked;
    // a generous bound for a loaded machine; the library looks every MiB
    EXPECT_LT(took, std::chrono::milliseconds(500));
    EXPECT_EQ(outcome().api, 11);
    expectTarget({{"big.dat", big}});
}

TEST_F(FileWaysTest, AFileIsDecodedAsSoonAsItsPieceOfTheBundleHasCome)
{
    const std::string a = textData(300000, 81);
    const std::string b = textData(200000, 82);
    install({{"a.bin", a}, {"b.bin", b}});
    const std::string z = textData(3 * 1024 * 1024, 83);
    publish("2.0.0", {{"a.bin", edited(a, 84)}, {"b.bin", edited(b, 85)}, {"z.bin", z}}, "",
            false, {"--complete"});
    // the deltas of a.bin and b.bin, then z.bin's large object, all in the bundle
    addObjects("2.0.0", {.bundleBelow = 8U << 20, .deltaFrom = {"1.0.0"}});
    const nlohmann::json list = readList("2.0.0");
    std::uint64_t zEnd = 0;
    for (const auto& file : list["files"])
    {
        if (file["path"] == "z.bin")
        {
            zEnd = file["bundle"]["offset"].get<std::uint64_t>() +
                   file["bundle"]["size"].get<std::uint64_t>() / 2;
        }
    }
    ASSERT_GT(zEnd, 0U);
    // the delta indexes come whole; the pieces stop half way through z.bin's object
    const std::string bundle = uriOf("2.0.0", "bundle");
    const std::string after =
        std::to_string(zEnd - list["deltas"][0]["offset"].get<std::uint64_t>());
    qortest::ServerProcess faults(
        {"faults", "--root", repo(), "--rule",
         R"({"path":")" + bundle + R"(","kind":"none","times":1})", "--rule",
         R"({"path":")" + bundle + R"(","kind":"stall","after":)" + after + R"(,"seconds":30})"});
    ASSERT_TRUE(faults.started()) << faults.failure();
    // b.bin does not wait for a.bin, which fetches the bundle and is stuck with it
    const std::string placed = extract() + "/2.0.0/files/b.bin";
    ASSERT_TRUE(startAndWaitFor(faults.url(), placed, std::chrono::seconds(20)))
        << "b.bin waited for the whole bundle";
    EXPECT_TRUE(qortest::readTextFile(placed) == edited(b, 85));
    EXPECT_FALSE(fs::exists(extract() + "/2.0.0/files/z.bin"));
    const auto asked = std::chrono::steady_clock::now();
    lib().closeDownload();
    ASSERT_TRUE(waitForEnd(std::chrono::seconds(5)));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1000));
    EXPECT_EQ(outcome().api, 11);
    expectTarget({{"a.bin", a}, {"b.bin", b}});
}

TEST_F(FileWaysTest, TwoVersionsBehindAChainOfDeltasBeatsTheCompressedFile)
{
    const std::string first = textData(500000, 61);
    install({{"app.bin", first}});
    // overlays: the run brings 1.1.0 and 1.2.0, and 1.2.0 has deltas from 1.1.0 only
    const std::string middle = edited(first, 62);
    const std::string last = edited(middle, 63);
    publish("1.1.0", {{"app.bin", middle}});
    publish("1.2.0", {{"app.bin", last}}, "", false, {"--delta-from", "1"});
    std::vector<Served> served;
    ASSERT_NO_FATAL_FAILURE(updateThroughNginx({{"app.bin", last}}, served));
    expectNoWholeFiles(served);
    EXPECT_EQ(requestsFor(served, uriOf("1.1.0", "bundle")), 2U);
    EXPECT_EQ(requestsFor(served, uriOf("1.2.0", "bundle")), 2U);
}

TEST_F(FileWaysTest, RenamedAndMovedFilesComeAsDeltasFromTheirOldNames)
{
    const std::string library = textData(300000, 81);
    const std::string notes = textData(20000, 82);
    install({{"lib/libbar.so.2.7", library}, {"share/bar-2.7/notes.txt", notes}});
    fs::remove_all(target()); // the base store holds the old names alone
    // other names, other sizes: nothing the survey hashes by size or path
    const std::map<std::string, std::string> v2 = {{"lib/libbar.so.2.8", edited(library, 83)},
                                                   {"share/bar-2.8/notes.txt", edited(notes, 84)}};
    publish("2.0.0", v2, "", false, {"--complete"});
    std::vector<Served> served;
    ASSERT_NO_FATAL_FAILURE(updateThroughNginx(v2, served));
    for (const std::string path : {"lib/libbar.so.2.8", "share/bar-2.8/notes.txt"})
    {
        EXPECT_NE(m_log.text().find("Way for " + path + " of 2.0.0: delta, "), std::string::npos)
            << path;
    }
    std::uint64_t bundleBytes = 0;
    for (const Served& one : served)
    {
        EXPECT_EQ(one.uri.find("/cidx/"), std::string::npos) << "a delta needs no chunk index";
        bundleBytes += one.uri == uriOf("2.0.0", "bundle") ? one.sent : 0;
    }
    expectNoWholeFiles(served);
    EXPECT_LT(bundleBytes, 10000U) << "deltas, not the compressed objects";
}

TEST_F(FileWaysTest, ARenamedFileWhoseOldCopyChangedIsAssembledFromItsChunks)
{
    // bytes that do not compress: the chunks come from files/ by ranges
    const std::string old = patternData(4 * 1024 * 1024, 71);
    install({{"lib/libfoo.so.1.2", old}, {"README", "one"}});
    fs::remove_all(target()); // the base store holds the old name alone
    const std::map<std::string, std::string> v2 = {{"lib/libfoo.so.1.3", edited(old, 72)},
                                                   {"README", "two"}};
    publish("2.0.0", v2, "", false, {"--complete"});
    // the old copy is no longer the delta's source, but keeps most chunks
    for (const auto& entry : fs::recursive_directory_iterator(temp() / "cache"))
    {
        if (entry.path().filename() == "libfoo.so.1.2")
        {
            std::fstream file(entry.path(), std::ios::binary | std::ios::in | std::ios::out);
            file.write("changed here", 12);
        }
    }
    std::vector<Served> served;
    ASSERT_NO_FATAL_FAILURE(updateThroughNginx(v2, served));
    EXPECT_EQ(m_log.text().find("Way for lib/libfoo.so.1.3 of 2.0.0: delta"), std::string::npos);
    std::uint64_t ranged = 0;
    for (const Served& one : served)
    {
        if (one.uri == uriOf("2.0.0", "files/lib/libfoo.so.1.3"))
        {
            EXPECT_EQ(one.status, 206) << "never the whole file";
            ranged += one.sent;
        }
    }
    EXPECT_GT(ranged, 0U);
    EXPECT_LT(ranged, old.size() / 4) << "most chunks came from lib/libfoo.so.1.2";
}
