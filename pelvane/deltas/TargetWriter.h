// The output of a delta: the target file at its declared size (mapped, or
// buffered when small), so that nothing is ever written beyond it, hashed
// as its bytes become final.
// Internal to the layer.
#pragma once

#include "pelvane/base/Sha256.h"
#include "pelvane/deltas/CodecStatus.h"
#include "pelvane/deltas/OutputFile.h"

#include <cstdint>
#include <string>

namespace pelvane::deltas
{
class TargetWriter
{
public:
    // fd open for reading and writing; made exactly size bytes long.
    CodecStatus open(int fd, std::uint64_t size);
    unsigned char* data() { return m_file.data(); }
    std::uint64_t size() const { return m_file.size(); }
    // The bytes before upTo are final: hashes those not hashed yet.
    void commit(std::uint64_t upTo);
    // Every byte committed, their SHA-256 is sha256 (hex), and they are in
    // the file.
    CodecStatus verify(const std::string& sha256);

private:
    OutputFile m_file;
    Sha256 m_digest;
    std::uint64_t m_hashed = 0;
};
} // namespace pelvane::deltas
