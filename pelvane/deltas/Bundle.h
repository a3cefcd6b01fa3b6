// A version's bundle: its delta sections (one per source version), then the
// compressed objects of its small files, in list order, back to back, so
// that the small pieces of one update come in one multi-range request.
// BundleWriter appends them and says where each went (for the file list);
// checkBundleLayout judges the places a file list announces before a client
// asks for any of them.
#pragma once

#include "pelvane/deltas/ByteSink.h"
#include "pelvane/deltas/CodecStatus.h"
#include "pelvane/deltas/DeltaSection.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pelvane::deltas
{
struct BundlePiece
{
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::string sha256; // hex; of a delta section: its index's
};

class BundleWriter
{
public:
    explicit BundleWriter(ByteSink& out) : m_out(out) {}
    // Sections come before every object (WrongInput after one).
    CodecStatus appendSection(const DeltaSectionWriter& section, BundlePiece& piece,
                              DeltaSectionSummary& summary);
    CodecStatus appendObject(std::span<const unsigned char> object, BundlePiece& piece);
    std::uint64_t size() const { return m_size; }

private:
    ByteSink& m_out;
    std::uint64_t m_size = 0;
    bool m_objects = false;
};

// Every piece is non-empty, lies inside a bundle of bundleSize bytes and
// overlaps no other; Corrupt naming the first that does not.
CodecStatus checkBundleLayout(std::uint64_t bundleSize, std::vector<BundlePiece> pieces);
} // namespace pelvane::deltas
