// Maintains an update repository folder: adds a release folder as a new
// version (copies its files under <repo>/<product>/<application>/<language>/
// <version>/, records sizes and SHA-256 in manifest.json, raises its serial,
// sets its expiry and signs it with every given key), refreshes expiry,
// serial and signatures without touching any payload, and checks a
// repository the way a client would. It refuses to touch a repository whose
// current manifest is not signed by one of the given keys, so a wrong key
// cannot silently re-sign someone else's releases.
#pragma once

#include "pelvane/trust/Manifest.h"
#include "publisher/SigningKey.h"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace publisher
{
enum ExitCode : int
{
    EXIT_OK = 0,
    EXIT_USAGE = 1,
    EXIT_BAD_INPUT = 2,
    EXIT_KEY_MISMATCH = 3,
    EXIT_VERSION_EXISTS = 4,
    EXIT_IO_ERROR = 5,
    EXIT_VERIFY_FAILED = 6
};

struct ChannelAddress
{
    std::string repository;
    std::string product;
    std::string channel; // "<application>/<language>"
};

struct PublishRequest
{
    ChannelAddress where;
    std::string version;
    std::vector<SigningKey> keys;
    int expiresInDays = 365;
    std::string notes;
    std::string releaseFolder;
    bool replace = false;
};

class Publisher
{
public:
    static constexpr int MAX_EXPIRY_DAYS = 3650;

    Publisher(std::ostream& output, std::ostream& errors) : m_output(output), m_errors(errors) {}
    ExitCode publish(const PublishRequest& request);
    ExitCode resign(const ChannelAddress& where, const std::vector<SigningKey>& keys,
                    int expiresInDays);
    ExitCode verify(const ChannelAddress& where, const std::string& pin);
    ExitCode keygen(const std::string& keyFile);

private:
    ExitCode refuse(ExitCode code, const std::string& message);
    ExitCode checkAddress(const ChannelAddress& where);
    // Reads the current manifest when there is one; refuses it unless one of
    // `keys` signed it.
    ExitCode readSigned(const ChannelAddress& where, const std::vector<SigningKey>& keys,
                        std::optional<pelvane::Manifest>& manifest);
    ExitCode writeSigned(const ChannelAddress& where, pelvane::Manifest& manifest,
                         const std::vector<SigningKey>& keys, int expiresInDays);

    std::ostream& m_output;
    std::ostream& m_errors;
};
} // namespace publisher
