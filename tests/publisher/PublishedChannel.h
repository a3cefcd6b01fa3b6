// What qor-publish wrote into one channel folder, read the way a client
// reads it: channel.qor split into its signatures and payload, and a
// version's file list taken only when it matches channel.qor.
#pragma once

#include "pelvane/trust/ChannelEnvelope.h"
#include "pelvane/trust/ChannelManifest.h"
#include "pelvane/trust/ManifestSignature.h"
#include "pelvane/trust/ManifestTrust.h"
#include "pelvane/trust/RepositoryLayout.h"

#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>
#include <string>

namespace publishedtest
{
class PublishedChannel
{
public:
    explicit PublishedChannel(std::string folder)
        : m_folder(std::move(folder)),
          m_bytes(qortest::readTextFile(m_folder + "/" + pelvane::RepositoryLayout::CHANNEL_FILE))
    {
        std::string problem;
        m_split = pelvane::ChannelEnvelope::split(m_bytes, m_signatures, m_payload, problem) ==
                  pelvane::ChannelEnvelope::Split::Done;
    }

    PublishedChannel(const PublishedChannel&) = delete; // views into m_bytes
    PublishedChannel& operator=(const PublishedChannel&) = delete;

    const std::string& bytes() const { return m_bytes; }
    std::string payload() const { return std::string(m_payload); }
    std::string signatures() const { return std::string(m_signatures); }

    pelvane::ManifestSignature::Check signatureFor(const std::string& pin) const
    {
        std::string problem;
        return m_split ? pelvane::ManifestSignature::check(pin, m_payload, m_signatures, problem)
                       : pelvane::ManifestSignature::Check::Malformed;
    }
    std::optional<pelvane::ChannelManifest> manifest() const
    {
        std::string problem;
        return m_split ? pelvane::ChannelManifest::parse(m_payload, problem) : std::nullopt;
    }
    // The version at `index` (ascending) with its files; empty when its list
    // does not match channel.qor.
    pelvane::ManifestVersion version(std::size_t index = 0) const
    {
        const auto channel = manifest();
        EXPECT_TRUE(channel && index < channel->versions().size());
        if (!channel || index >= channel->versions().size())
        {
            return {};
        }
        const pelvane::ChannelVersion& entry = channel->versions()[index];
        const pelvane::ManifestTrust trust({}, channel->product(), channel->channel(),
                                           pelvane::SerialStore(std::string()));
        pelvane::ManifestVersion version;
        std::string problem;
        EXPECT_TRUE(trust.acceptList(
            entry, qortest::readTextFile(versionFolder(entry.number.text()) + "/" +
                                         pelvane::RepositoryLayout::LIST_FILE),
            version, problem))
            << problem;
        return version;
    }
    std::string versionFolder(const std::string& version) const
    {
        return m_folder + "/" + version;
    }

private:
    std::string m_folder;
    std::string m_bytes;
    std::string_view m_signatures;
    std::string_view m_payload;
    bool m_split = false;
};

// A fixture with a fresh key and qor-publish run on the channel PROD APP/EN
// of a repository in its temporary folder.
class ChannelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string output;
        ASSERT_EQ(qortest::runProgram({QOR_PUBLISH_PATH, "keygen", "--out", key()}, &output), 0)
            << output;
        m_pin = output.substr(0, output.find('\n'));
        ASSERT_EQ(m_pin.size(), 32U);
    }

    std::string channel() const { return m_temp / "repo/PROD/APP/EN"; }
    std::string key() const { return m_temp / "publisher.pem"; }

    int run(const std::string& command, const std::vector<std::string>& extra,
            std::string* output = nullptr)
    {
        std::vector<std::string> arguments = {QOR_PUBLISH_PATH, command,     "--repo",
                                              m_temp / "repo",  "--product", "PROD",
                                              "--channel",      "APP/EN"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return qortest::runProgram(arguments, output);
    }

    qortest::TempFolder m_temp;
    std::string m_pin;
};
} // namespace publishedtest
