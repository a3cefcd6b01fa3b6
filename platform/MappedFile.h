// A file's bytes seen as memory. The pages belong to the page cache, not to
// the process's anonymous memory, so a codec can read a source of hundreds
// of MiB, or write a target of that size, and stay within a small memory
// budget. Unmapped by the destructor; move-only.
//
// A mapping for writing first reserves the file's blocks, so that a full
// disk is reported here (ENOSPC) and never arrives later as SIGBUS while
// the mapped pages are written.
//
// A file read many times over, small ones among them, may ask for its bytes
// to be copied instead when it is smaller than a bound: mapping and
// unmapping a few KiB costs more than reading them (every unmap of a
// threaded process interrupts its other cores to flush their TLBs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform
{
class MappedFile
{
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps the whole regular file at path (not through a final link) for
    // reading; anything else is refused without blocking. 0 or the errno;
    // an empty file maps to no bytes.
    // A file of fewer than copyBelow bytes is read into memory instead.
    int mapForReading(const std::string& path, std::uint64_t copyBelow = 0);
    // Maps the whole regular file open as fd for reading.
    int mapForReading(int fd, std::uint64_t copyBelow = 0);
    // Makes the file open as fd (it must be open for reading and writing)
    // exactly size bytes long, reserves its blocks and maps it for writing.
    // Bytes already in the file stay as they are.
    int mapForWriting(int fd, std::uint64_t size);
    // What mapForWriting does before it maps: the file open as fd made
    // exactly size bytes long, its blocks reserved.
    static int prepareForWriting(int fd, std::uint64_t size);

    const unsigned char* data() const { return m_data; }
    unsigned char* writableData() { return m_writable ? m_data : nullptr; }
    std::uint64_t size() const { return m_size; }
    // Says that [offset, offset + length) is read once, in order, from here on.
    void adviseSequential(std::uint64_t offset, std::uint64_t length) const;
    void unmap() noexcept;

private:
    int map(int fd, std::uint64_t size, bool writable);
    int copy(int fd, std::uint64_t size);

    unsigned char* m_data = nullptr;
    std::uint64_t m_size = 0;
    bool m_writable = false;
    std::vector<unsigned char> m_copy; // the bytes when copied, not mapped
};
} // namespace platform
