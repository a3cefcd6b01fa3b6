// A repository published with the real qor-publish, a folder pair for
// Extract and Target, and helpers to drive the library through a run.
#pragma once

#include "PelvaneLibrary.h"
#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pelvanetest
{
inline const std::string PRODUCT = "ORV-2031";
inline const std::string APPLICATION = "0_NETWORK_0_EN";
inline const std::string LANGUAGE = "EN";

struct Outcome
{
    std::int32_t result = -7;
    std::int32_t api = -7;
    std::int32_t primary = -7;
    std::int32_t secondary = -7;
};

struct StatusSample
{
    std::int32_t status = 0;
    std::int32_t nbUpdate = -1;
    std::int32_t currentUpdate = -1;
    std::int32_t nbBlock = -1;
    std::int32_t currentBlock = -1;
};

struct InitOptions
{
    std::string url;
    std::string version;
    std::string key; // empty: the pin of the fixture's publisher key
    std::string product = PRODUCT;
    std::string statsUrl;
    std::int32_t keepArchives = 1;
    std::string userProxy;
    std::string pswdProxy; // scrambled
    std::string notesPswd;
    std::int32_t connectTimeoutMs = 30000;
    std::int32_t stallTimeoutMs = 30000;
};

class UpdateFixture : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    PelvaneLibrary& lib() { return PelvaneLibrary::instance(); }

    // Publishes `files` (relative path -> content) as `version`, with more
    // qor-publish options when given.
    void publish(const std::string& version, const std::map<std::string, std::string>& files,
                 const std::string& notes = "", bool replace = false,
                 const std::vector<std::string>& options = {});
    std::string channelFolder() const;
    // The publisher key made for this test (qor-publish keygen) and its pin.
    const std::string& keyFile() const { return m_keyFile; }
    const std::string& pin() const { return m_pin; }
    // Makes another key pair; returns its pin.
    std::string makeKey(const std::string& file);
    // The signature lines for `text` signed by each key file.
    static std::string signatureFor(const std::string& text, const std::vector<std::string>& keys);
    // channel.qor: the top level as published, its payload, and one written
    // with the given signature lines or signed by the fixture's key.
    std::string channelFile() const { return channelFolder() + "/channel.qor"; }
    // The URL paths (below a mirror) of a published file and of its chunk index.
    static std::string fileUrlPath(const std::string& version, const std::string& path);
    static std::string indexUrlPath(const std::string& version, const std::string& path);
    std::string channelPayload() const;
    void writeChannel(const std::string& payload, const std::string& signatureLines);
    void writeSignedChannel(const std::string& payload);
    std::string repo() const { return m_temp / "repo"; }
    std::string extract() const { return m_temp / "extract"; }
    std::string target() const { return m_temp / "target"; }
    std::string flagFile() const { return m_temp / "flag.txt"; }
    const qortest::TempFolder& temp() const { return m_temp; }

    Outcome init(const InitOptions& options);
    Outcome outcome();
    StatusSample status();
    // Polls until the status leaves 1; false when `limit` ran out first.
    bool waitForEnd(std::chrono::milliseconds limit = std::chrono::seconds(60),
                    std::vector<StatusSample>* samples = nullptr);
    // init + count + downloadUntil(version), without waiting; false when
    // the initialisation failed.
    bool startDownload(const InitOptions& options, const std::string& version = "1.0.0");
    // init + count + info(0) + downloadUntil + wait; the final outcome.
    Outcome runToEnd(const InitOptions& options);

    static std::string patternData(std::size_t size, unsigned seed);
    static void clearProxyEnvironment();

    qortest::TempFolder m_temp;
    std::string m_keyFile;
    std::string m_pin;
    int m_channelWrites = 0;
};

// Requests the fault server wrote to its --requests-log, one JSON object each.
struct SeenRequest
{
    std::string method;
    std::string path;
    std::string range;
    std::string ifRange;
    std::string authorization;
    std::string body;
    double time = 0;
};
std::vector<SeenRequest> readRequests(const std::string& logFile);
} // namespace pelvanetest
