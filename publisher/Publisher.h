// Adds a release folder as a new version to an update repository folder:
// copies its files under <repo>/<product>/<application>/<language>/<version>/,
// records their sizes and SHA-256 in manifest.json and signs it. It refuses
// to touch a repository whose current signature does not verify with the
// given key, so a wrong key cannot silently re-sign someone else's releases.
#pragma once

#include <ostream>
#include <string>

namespace publisher
{
enum ExitCode : int
{
    EXIT_OK = 0,
    EXIT_USAGE = 1,
    EXIT_BAD_INPUT = 2,
    EXIT_KEY_MISMATCH = 3,
    EXIT_VERSION_EXISTS = 4,
    EXIT_IO_ERROR = 5
};

struct PublishRequest
{
    std::string repository;
    std::string product;
    std::string channel; // "<application>/<language>"
    std::string version;
    std::string key;
    std::string notes;
    std::string releaseFolder;
    bool replace = false;
};

class Publisher
{
public:
    explicit Publisher(std::ostream& errors) : m_errors(errors) {}
    ExitCode publish(const PublishRequest& request);

private:
    ExitCode refuse(ExitCode code, const std::string& message);
    std::ostream& m_errors;
};
} // namespace publisher
