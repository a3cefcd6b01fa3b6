#include "platform/MappedFile.h"

#include "platform/FileDescriptor.h"
#include "platform/SystemCalls.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <sys/mman.h>
#include <utility>

namespace platform
{
MappedFile::~MappedFile()
{
    unmap();
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)),
      m_writable(std::exchange(other.m_writable, false)), m_copy(std::move(other.m_copy))
{
}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept
{
    if (this != &other)
    {
        unmap();
        m_data = std::exchange(other.m_data, nullptr);
        m_size = std::exchange(other.m_size, 0);
        m_writable = std::exchange(other.m_writable, false);
        m_copy = std::move(other.m_copy);
    }
    return *this;
}

void MappedFile::unmap() noexcept
{
    if (m_data != nullptr && m_copy.empty())
    {
        ::munmap(m_data, static_cast<std::size_t>(m_size));
    }
    m_copy.clear();
    m_data = nullptr;
    m_size = 0;
    m_writable = false;
}

int MappedFile::mapForReading(const std::string& path, std::uint64_t copyBelow)
{
    FileDescriptor file(SystemCalls::open(path, SystemCalls::OpenMode::ReadNonBlockingNoFollow));
    if (!file.valid())
    {
        return errno;
    }
    return mapForReading(file.get(), copyBelow);
}

int MappedFile::mapForReading(int fd, std::uint64_t copyBelow)
{
    SystemCalls::Info info;
    if (SystemCalls::status(fd, info) != 0)
    {
        return errno;
    }
    if (info.type != SystemCalls::Type::File)
    {
        return info.type == SystemCalls::Type::Directory ? EISDIR : EINVAL;
    }
    return info.size > 0 && info.size < copyBelow ? copy(fd, info.size) : map(fd, info.size, false);
}

int MappedFile::mapForWriting(int fd, std::uint64_t size)
{
    const int error = prepareForWriting(fd, size);
    return error != 0 ? error : map(fd, size, true);
}

int MappedFile::prepareForWriting(int fd, std::uint64_t size)
{
    SystemCalls::Info info;
    if (SystemCalls::status(fd, info) != 0)
    {
        return errno;
    }
    if (info.type != SystemCalls::Type::File)
    {
        return EINVAL;
    }
    if (info.size > size && SystemCalls::truncate(fd, size) != 0)
    {
        return errno;
    }
    return SystemCalls::allocate(fd, size) != 0 ? errno : 0;
}

int MappedFile::map(int fd, std::uint64_t size, bool writable)
{
    unmap();
    if (size == 0)
    {
        m_writable = writable;
        return 0;
    }
    if (size > static_cast<std::uint64_t>(SIZE_MAX))
    {
        return EFBIG;
    }
    void* address = ::mmap(nullptr, static_cast<std::size_t>(size),
                           writable ? PROT_READ | PROT_WRITE : PROT_READ,
                           writable ? MAP_SHARED : MAP_PRIVATE, fd, 0);
    if (address == MAP_FAILED)
    {
        return errno;
    }
    m_data = static_cast<unsigned char*>(address);
    m_size = size;
    m_writable = writable;
    return 0;
}

int MappedFile::copy(int fd, std::uint64_t size)
{
    unmap();
    std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
    // EIO when it shrank while read: not the file that was measured
    if (SystemCalls::readAllAt(fd, bytes.data(), bytes.size(), 0) != 0)
    {
        return errno;
    }
    m_copy = std::move(bytes);
    m_data = m_copy.data();
    m_size = size;
    return 0;
}

void MappedFile::adviseSequential(std::uint64_t offset, std::uint64_t length) const
{
    if (m_data == nullptr || offset >= m_size || !m_copy.empty())
    {
        return;
    }
    // madvise wants a page-aligned start
    const std::uint64_t page = 4096;
    const std::uint64_t start = offset / page * page;
    const std::uint64_t end = std::min(m_size, offset + length);
    ::madvise(m_data + start, static_cast<std::size_t>(end - start), MADV_SEQUENTIAL);
}
} // namespace platform
