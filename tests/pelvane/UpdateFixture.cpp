#include "UpdateFixture.h"

#include "pelvane/trust/ChannelEnvelope.h"
#include "pelvane/trust/ManifestSignature.h"
#include "pelvane/trust/RepositoryLayout.h"
#include "publisher/SigningKey.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace pelvanetest
{
void UpdateFixture::SetUp()
{
    ASSERT_FALSE(m_temp.path().empty());
    ASSERT_NE(lib().handle, nullptr) << lib().error;
    ASSERT_TRUE(lib().error.empty()) << lib().error;
    clearProxyEnvironment();
    std::filesystem::create_directories(repo());
    // the library's base store goes to the cache folder: one per test
    ::setenv("XDG_CACHE_HOME", (m_temp / "cache").c_str(), 1);
    ::unsetenv("PELVANE_BASE_STORE");
    ::unsetenv("PELVANE_BASE_STORE_MAX_MIB");
    ::unsetenv("PELVANE_CHUNKS");
    for (const char* limit :
         {"PELVANE_MIN_RATE_BYTES", "PELVANE_MIN_RATE_WINDOW_MS", "PELVANE_METADATA_DEADLINE_MS",
          "PELVANE_CONNECTIONS"})
    {
        ::unsetenv(limit);
    }
    // accepted serials are remembered here, never in the real home
    ::setenv("XDG_STATE_HOME", (m_temp / "state").c_str(), 1);
    ::unsetenv("CURL_CA_BUNDLE");
    ::unsetenv("SSL_CERT_FILE");
    m_keyFile = m_temp / "publisher.key";
    m_pin = makeKey(m_keyFile);
    ASSERT_EQ(m_pin.size(), 32U);
}

std::string UpdateFixture::makeKey(const std::string& file)
{
    std::string output;
    EXPECT_EQ(qortest::runProgram({QOR_PUBLISH_PATH, "keygen", "--out", file}, &output), 0)
        << output;
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
    {
        output.pop_back();
    }
    return output;
}

std::string UpdateFixture::signatureFor(const std::string& text,
                                        const std::vector<std::string>& keys)
{
    std::string signatures;
    for (const std::string& file : keys)
    {
        std::string problem;
        const auto key = publisher::SigningKey::load(file, problem);
        EXPECT_TRUE(key.has_value()) << problem;
        if (key)
        {
            signatures += pelvane::ManifestSignature::formatLine(key->sign(text));
        }
    }
    return signatures;
}

std::string UpdateFixture::channelPayload() const
{
    const std::string bytes = qortest::readTextFile(channelFile());
    std::string_view signatures;
    std::string_view payload;
    std::string problem;
    EXPECT_EQ(pelvane::ChannelEnvelope::split(bytes, signatures, payload, problem),
              pelvane::ChannelEnvelope::Split::Done)
        << problem;
    return std::string(payload);
}

std::string UpdateFixture::fileUrlPath(const std::string& version, const std::string& path)
{
    return pelvane::RepositoryLayout(PRODUCT, APPLICATION, LANGUAGE).file(version, path).url("");
}

std::string UpdateFixture::indexUrlPath(const std::string& version, const std::string& path)
{
    return pelvane::RepositoryLayout(PRODUCT, APPLICATION, LANGUAGE).chunkIndex(version, path).url("");
}

void UpdateFixture::writeChannel(const std::string& payload, const std::string& signatureLines)
{
    std::filesystem::create_directories(channelFolder());
    qortest::writeTextFile(channelFile(), pelvane::ChannelEnvelope::compose(signatureLines, payload));
    // a time of its own, so that the server's validators tell every copy
    // apart however fast a test writes them
    std::filesystem::last_write_time(channelFile(),
                                     std::filesystem::file_time_type::clock::now() +
                                         std::chrono::seconds(++m_channelWrites));
}

void UpdateFixture::writeSignedChannel(const std::string& payload)
{
    writeChannel(payload, signatureFor(payload, {m_keyFile}));
}

void UpdateFixture::TearDown()
{
    if (lib().closeUpdInter != nullptr)
    {
        lib().closeUpdInter();
    }
}

void UpdateFixture::clearProxyEnvironment()
{
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"})
    {
        ::unsetenv(name);
    }
}

std::string UpdateFixture::channelFolder() const
{
    return repo() + "/" + PRODUCT + "/" + APPLICATION + "/" + LANGUAGE;
}

void UpdateFixture::publish(const std::string& version,
                            const std::map<std::string, std::string>& files,
                            const std::string& notes, bool replace,
                            const std::vector<std::string>& options)
{
    const std::string release = m_temp / ("release-" + version);
    std::filesystem::remove_all(release);
    std::filesystem::create_directories(release);
    for (const auto& [path, content] : files)
    {
        const std::filesystem::path file = std::filesystem::path(release) / path;
        std::filesystem::create_directories(file.parent_path());
        ASSERT_TRUE(qortest::writeTextFile(file.string(), content));
    }
    std::vector<std::string> command = {QOR_PUBLISH_PATH,
                                        "--repo",
                                        repo(),
                                        "--product",
                                        PRODUCT,
                                        "--channel",
                                        APPLICATION + "/" + LANGUAGE,
                                        "--version",
                                        version,
                                        "--key-file",
                                        m_keyFile,
                                        "--notes",
                                        notes};
    if (replace)
    {
        command.push_back("--replace");
    }
    command.insert(command.end(), options.begin(), options.end());
    command.push_back(release);
    std::string output;
    ASSERT_EQ(qortest::runProgram(command, &output), 0) << output;
}

Outcome UpdateFixture::init(const InitOptions& o)
{
    const std::string& key = o.key.empty() ? m_pin : o.key;
    lib().initUpdInterEx(key.c_str(), o.product.c_str(), o.statsUrl.c_str(), o.keepArchives,
                         extract().c_str(), target().c_str(), flagFile().c_str(),
                         o.userProxy.c_str(), o.pswdProxy.c_str(), o.url.c_str(),
                         o.notesPswd.c_str(), APPLICATION.c_str(), LANGUAGE.c_str(),
                         o.version.c_str(), o.connectTimeoutMs, o.stallTimeoutMs, "", "");
    return outcome();
}

Outcome UpdateFixture::outcome()
{
    Outcome out;
    lib().getResultUpdInter(&out.result);
    lib().getResultUpdInterEx(&out.api, &out.primary, &out.secondary);
    return out;
}

StatusSample UpdateFixture::status()
{
    StatusSample sample;
    lib().getStatusUpdInter(&sample.status, &sample.nbUpdate, &sample.currentUpdate,
                            &sample.nbBlock, &sample.currentBlock);
    return sample;
}

bool UpdateFixture::waitForEnd(std::chrono::milliseconds limit, std::vector<StatusSample>* samples)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline)
    {
        const StatusSample sample = status();
        if (samples != nullptr)
        {
            samples->push_back(sample);
        }
        if (sample.status != 1)
        {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool UpdateFixture::startDownload(const InitOptions& options, const std::string& version)
{
    if (init(options).result != 1)
    {
        return false;
    }
    std::int32_t count = 0;
    lib().getVersionCount(&count);
    lib().downloadUntil(version.c_str());
    return true;
}

Outcome UpdateFixture::runToEnd(const InitOptions& options)
{
    Outcome step = init(options);
    if (step.result != 1)
    {
        return step;
    }
    std::int32_t count = -1;
    lib().getVersionCount(&count);
    step = outcome();
    if (step.result != 1 || count < 1)
    {
        return step;
    }
    std::vector<char> version(1024, '\0');
    std::vector<char> notes(4096, '\0');
    std::int32_t files = 0;
    std::int32_t kib = 0;
    std::int32_t updates = 0;
    lib().getVersionInfo(0, version.data(), 1023, notes.data(), 4095, &files, &kib, &updates);
    step = outcome();
    if (step.result != 1)
    {
        return step;
    }
    lib().downloadUntil(version.data());
    EXPECT_TRUE(waitForEnd()) << "download did not end";
    return outcome();
}

std::string UpdateFixture::patternData(std::size_t size, unsigned seed)
{
    std::string data(size, '\0');
    std::uint32_t state = seed * 2654435761U + 1U;
    for (std::size_t i = 0; i < size; ++i)
    {
        state = state * 1664525U + 1013904223U;
        data[i] = static_cast<char>(state >> 24);
    }
    return data;
}

std::vector<SeenRequest> readRequests(const std::string& logFile)
{
    std::vector<SeenRequest> requests;
    std::ifstream in(logFile);
    std::string line;
    while (std::getline(in, line))
    {
        const auto item = nlohmann::json::parse(line, nullptr, false);
        if (item.is_discarded())
        {
            continue;
        }
        const auto text = [&](const char* name)
        {
            return item.contains(name) && item[name].is_string() ? item[name].get<std::string>()
                                                                 : std::string();
        };
        requests.push_back({text("method"), text("path"), text("range"), text("if_range"),
                            text("authorization"), text("body"), item.value("time", 0.0)});
    }
    return requests;
}
} // namespace pelvanetest
