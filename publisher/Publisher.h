// Maintains an update repository folder in format 3 (see RepositoryLayout):
// adds a release folder as a new version (copies its files and their chunk
// indexes into the version's folder, writes its file list, then lists the
// version in channel.qor, raises its serial, sets its expiry and signs it
// with every given key), drops old versions, refreshes expiry, serial and
// signatures without touching any payload, and checks a repository the way
// a client would. It refuses to touch a repository whose current channel.qor
// is not signed by one of the given keys, so a wrong key cannot silently
// re-sign someone else's releases.
#pragma once

#include "pelvane/trust/ChannelManifest.h"
#include "publisher/HistoryFiles.h"
#include "publisher/ObjectChecks.h"
#include "publisher/SigningKey.h"
#include "publisher/VersionBuilder.h"

#include <map>
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

// The most earlier versions deltas are made from (--delta-from).
inline constexpr int MAX_DELTA_SOURCES = 16;

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
    bool complete = false;      // the release folder is the whole tree
    std::size_t keepVersions = 0; // 0: keep every version
    std::size_t deltaFrom = 3;    // deltas from the newest this many earlier versions
    std::string cacheFolder;      // of the deltas; empty: DeltaCache::defaultFolder()
};

class Publisher
{
public:
    static constexpr int MAX_EXPIRY_DAYS = 3650;

    Publisher(std::ostream& output, std::ostream& errors) : m_output(output), m_errors(errors) {}
    ExitCode publish(const PublishRequest& request);
    ExitCode resign(const ChannelAddress& where, const std::vector<SigningKey>& keys,
                    int expiresInDays);
    // Keeps the newest `keep` versions in channel.qor, re-signed, then deletes
    // the folders of the others.
    ExitCode prune(const ChannelAddress& where, const std::vector<SigningKey>& keys,
                   std::size_t keep, int expiresInDays);
    ExitCode verify(const ChannelAddress& where, const std::string& pin);
    ExitCode keygen(const std::string& keyFile);

private:
    ExitCode refuse(ExitCode code, const std::string& message);
    ExitCode checkAddress(const ChannelAddress& where);
    ExitCode checkSigning(const std::vector<SigningKey>& keys, int expiresInDays);
    // Reads the current channel.qor when there is one, with every version of
    // its history; refuses it unless one of `keys` signed it, and refuses a
    // repository of an older format.
    ExitCode readSigned(const ChannelAddress& where, const std::vector<SigningKey>& keys,
                        std::optional<pelvane::ChannelManifest>& manifest);
    // Moves the older versions of `manifest` (every version) to history
    // objects, signs and writes channel.qor, then deletes the history objects
    // and the folders of `dropped` that it no longer names.
    ExitCode writeSigned(const ChannelAddress& where, pelvane::ChannelManifest& manifest,
                         const std::vector<SigningKey>& keys, int expiresInDays,
                         const std::vector<pelvane::ChannelVersion>& dropped = {});
    // Keeps the newest `keep` versions (0: all) when the oldest kept one is
    // complete; `dropped` gets the others.
    ExitCode dropOld(pelvane::ChannelManifest& manifest, std::size_t keep,
                     std::vector<pelvane::ChannelVersion>& dropped);
    // The newest `count` versions below `number` whose lists pass, newest first.
    std::vector<SourceVersion> deltaSources(const ChannelAddress& where,
                                            const pelvane::ChannelManifest& manifest,
                                            const pelvane::VersionNumber& number,
                                            std::size_t count);
    // Every object of one version against its file list; returns the faults.
    // `sources` holds the versions checked before (the sources of its
    // deltas) and gets this one.
    std::size_t verifyVersion(const ChannelAddress& where, const pelvane::ChannelVersion& entry,
                              std::map<std::string, objectchecks::DeltaSource>& sources);

    // The history objects of the channel read last.
    HistoryFiles historyOf(const ChannelAddress& where) const;

    std::ostream& m_output;
    std::ostream& m_errors;
    std::optional<HistoryFiles> m_history;
};
} // namespace publisher
