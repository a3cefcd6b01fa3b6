// The pieces of one version's bundle that a run needs (delta indexes,
// deltas, small compressed objects), fetched together by multi-range
// requests and kept back to back in one file of Extract, each checked
// against its SHA-256 as it completes. Neighbours are asked as one range
// when the gap between them costs less than another range; a request names
// at most 64 ranges (RangeFetcher). A piece that arrives with other bytes
// is asked again from the next mirror; one that no mirror serves right is
// simply not held, and its file goes another way. One fetch at a time;
// while it runs, other threads may read the pieces it has brought already.
#pragma once

#include "pelvane/net/RangeFetcher.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace pelvane
{
class BundlePieces
{
public:
    // A gap up to this is asked along with its neighbours: about what the
    // part headers of one more range of a multipart answer cost.
    static constexpr std::uint64_t MERGE_GAP_BYTES = 160;

    struct Piece
    {
        std::uint64_t offset = 0; // in the bundle
        std::uint64_t size = 0;
        std::string sha256; // hex
    };
    // Told how many piece bytes this fetch brought so far.
    using Progress = std::function<void(std::uint64_t bytes)>;
    // Told, on the fetching thread, that one more piece is held.
    using Held = std::function<void()>;

    // `file`: where the pieces are kept (started afresh).
    explicit BundlePieces(std::string file);

    // Fetches the pieces not held yet from `urls` (the bundle on each
    // mirror, in order). Fails only for a cancel or a disk failure; pieces
    // that did not come are not held.
    Outcome fetch(RangeFetcher& ranges, const std::vector<std::string>& urls,
                  const std::vector<Piece>& pieces, const Progress& progress,
                  const Held& held = {});
    bool held(const Piece& piece) const;
    // The bytes of a held piece; false (and `bytes` empty) when not held or
    // not readable.
    bool copy(const Piece& piece, std::vector<unsigned char>& bytes) const;

private:
    struct Slot
    {
        std::uint64_t at = 0; // in the file
        bool verified = false;
    };
    static std::string key(const Piece& piece);
    void markHeld(const Piece& piece, bool verified);

    std::string m_file;
    mutable std::mutex m_slotsLock; // the fetch writes slots, readers look
    std::map<std::string, Slot> m_slots;
    std::uint64_t m_end = 0; // bytes of the file given to slots
    bool m_started = false;
};
} // namespace pelvane
