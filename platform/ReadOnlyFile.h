// A regular file opened for reading at chosen offsets, closed by the
// destructor. Opening never blocks (a fifo is refused, not waited on).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform
{
class ReadOnlyFile
{
public:
    ReadOnlyFile() = default;
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // false with errno as last error; EISDIR for a directory, EINVAL for
    // anything else that is not a regular file.
    bool open(const std::string& path);
    std::uint64_t size() const { return m_size; }
    // Reads exactly size bytes at offset; false (EIO when the file ended
    // early) otherwise.
    bool readAt(std::uint64_t offset, std::size_t size, void* buffer) const;

private:
    int m_fd = -1;
    std::uint64_t m_size = 0;
};
} // namespace platform
