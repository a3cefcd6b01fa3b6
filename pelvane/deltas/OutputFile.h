// Where a codec writes a file of a declared size: the file itself, mapped,
// or for a small file a buffer that flush() writes out at once (mapping and
// unmapping each of a thousand small files costs more than the decoding).
// Either way nothing can be written beyond the declared size, and a full
// disk shows in open() or flush(), never as SIGBUS. Internal to the layer.
#pragma once

#include "pelvane/deltas/CodecStatus.h"
#include "platform/MappedFile.h"

#include <cstdint>
#include <vector>

namespace pelvane::deltas
{
// Below this many bytes a file is buffered rather than mapped.
inline constexpr std::uint64_t SMALL_FILE = 256 * 1024;

class OutputFile
{
public:
    // fd open for reading and writing; made exactly size bytes long, its
    // blocks reserved.
    int open(int fd, std::uint64_t size);
    unsigned char* data() { return m_buffered ? m_buffer.data() : m_map.writableData(); }
    const unsigned char* data() const { return m_buffered ? m_buffer.data() : m_map.data(); }
    std::uint64_t size() const { return m_size; }
    // The bytes are in the file (a no-op for a mapping); 0 or the errno.
    int flush();

private:
    platform::MappedFile m_map;
    std::vector<unsigned char> m_buffer;
    std::uint64_t m_size = 0;
    int m_fd = -1;
    bool m_buffered = false;
};
} // namespace pelvane::deltas
