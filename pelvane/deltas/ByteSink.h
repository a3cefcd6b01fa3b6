// Where a compressor or a delta maker puts its bytes: a file descriptor
// (appended with the system-call seam) or a string in memory. Each write
// answers 0 or the errno of the failure.
#pragma once

#include <cstddef>
#include <string>

namespace pelvane::deltas
{
class ByteSink
{
public:
    virtual ~ByteSink() = default;
    virtual int write(const void* data, std::size_t size) = 0;
};

class FdSink : public ByteSink
{
public:
    explicit FdSink(int fd) : m_fd(fd) {}
    int write(const void* data, std::size_t size) override;

private:
    int m_fd;
};

class StringSink : public ByteSink
{
public:
    explicit StringSink(std::string& bytes) : m_bytes(bytes) {}
    int write(const void* data, std::size_t size) override
    {
        m_bytes.append(static_cast<const char*>(data), size);
        return 0;
    }

private:
    std::string& m_bytes;
};
} // namespace pelvane::deltas
