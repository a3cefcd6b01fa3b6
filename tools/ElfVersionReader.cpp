#include "tools/ElfVersionReader.h"

#include "platform/LastError.h"
#include "platform/ReadOnlyFile.h"

#include <cerrno>
#include <cstring>

namespace
{
constexpr unsigned char ELF_CLASS_32 = 1;
constexpr unsigned char ELF_CLASS_64 = 2;
constexpr unsigned char ELF_DATA_LITTLE = 1;
constexpr unsigned char ELF_DATA_BIG = 2;
constexpr std::uint32_t SECTION_TYPE_NOTE = 7;
// larger note sections are not ours; reading them would only cost memory
constexpr std::uint64_t MAX_NOTE_SECTION = 1024 * 1024;
// more sections than this is a damaged table, not a real file
constexpr std::uint64_t MAX_SECTIONS = 1u << 20;

// Unsigned integers of the file's byte order from a buffer already checked
// to hold them.
class ByteOrder
{
public:
    explicit ByteOrder(bool bigEndian) : m_bigEndian(bigEndian) {}

    std::uint64_t get(const unsigned char* data, std::size_t size) const
    {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i)
        {
            const std::size_t index = m_bigEndian ? i : size - 1 - i;
            value = (value << 8) | data[index];
        }
        return value;
    }
    std::uint32_t get32(const unsigned char* data) const
    {
        return static_cast<std::uint32_t>(get(data, 4));
    }

private:
    bool m_bigEndian;
};

// Where the fields of the two ELF classes lie.
struct ElfLayout
{
    std::size_t headerSize;
    std::size_t sectionTableOffsetAt;
    std::size_t addressSize;
    std::size_t sectionEntrySizeAt;
    std::size_t sectionCountAt;
    std::size_t sectionHeaderSize;
    std::size_t sectionTypeAt;
    std::size_t sectionOffsetAt;
    std::size_t sectionSizeAt;
    std::size_t sectionAlignAt;
};
constexpr ElfLayout LAYOUT_32 = {52, 0x20, 4, 0x2E, 0x30, 40, 4, 16, 20, 32};
constexpr ElfLayout LAYOUT_64 = {64, 0x28, 8, 0x3A, 0x3C, 64, 4, 24, 32, 48};

bool fail(unsigned long error)
{
    platform::setLastError(error);
    return false;
}

// true when [offset, offset + size) lies inside a file of fileSize bytes
bool inside(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize)
{
    return offset <= fileSize && size <= fileSize - offset;
}

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// Looks for our note in one note section's bytes; on success gives the
// descriptor's place within the section.
bool findNote(const std::vector<unsigned char>& section, std::uint64_t alignment,
              const ByteOrder& order, std::uint64_t& descriptorAt, std::uint32_t& descriptorSize)
{
    const std::uint64_t size = section.size();
    std::uint64_t position = 0;
    while (position + 12 <= size)
    {
        const unsigned char* header = section.data() + position;
        const std::uint64_t nameSize = order.get32(header);
        const std::uint64_t descSize = order.get32(header + 4);
        const std::uint32_t type = order.get32(header + 8);
        const std::uint64_t nameAt = position + 12;
        const std::uint64_t descAt = alignUp(nameAt + nameSize, alignment);
        const std::uint64_t end = descAt + descSize;
        if (end > size)
        {
            return false; // a damaged note ends the section's walk
        }
        if (type == qorversion::NOTE_TYPE && nameSize == sizeof(qorversion::NOTE_OWNER) &&
            std::memcmp(section.data() + nameAt, qorversion::NOTE_OWNER, nameSize) == 0)
        {
            descriptorAt = descAt;
            descriptorSize = static_cast<std::uint32_t>(descSize);
            return true;
        }
        position = alignUp(end, alignment);
    }
    return false;
}
} // namespace

bool ElfVersionReader::locate(const std::string& path)
{
    m_path = path;
    m_descriptorOffset = 0;
    m_descriptorSize = 0;
    platform::ReadOnlyFile file;
    if (!file.open(path))
    {
        return false;
    }
    const std::uint64_t fileSize = file.size();
    unsigned char ident[16] = {};
    if (fileSize < sizeof(ident) || !file.readAt(0, sizeof(ident), ident) ||
        std::memcmp(ident,
                    "\x7F"
                    "ELF",
                    4) != 0)
    {
        return fail(ENOEXEC);
    }
    if ((ident[4] != ELF_CLASS_32 && ident[4] != ELF_CLASS_64) ||
        (ident[5] != ELF_DATA_LITTLE && ident[5] != ELF_DATA_BIG))
    {
        return fail(ENOEXEC);
    }
    const ElfLayout& layout = ident[4] == ELF_CLASS_64 ? LAYOUT_64 : LAYOUT_32;
    m_bigEndian = ident[5] == ELF_DATA_BIG;
    const ByteOrder order(m_bigEndian);

    unsigned char header[64] = {};
    if (fileSize < layout.headerSize || !file.readAt(0, layout.headerSize, header))
    {
        return fail(ENOEXEC);
    }
    const std::uint64_t tableOffset =
        order.get(header + layout.sectionTableOffsetAt, layout.addressSize);
    const std::uint64_t entrySize = order.get(header + layout.sectionEntrySizeAt, 2);
    std::uint64_t count = order.get(header + layout.sectionCountAt, 2);
    if (tableOffset == 0)
    {
        return fail(ENODATA); // no section table at all
    }
    if (entrySize < layout.sectionHeaderSize || !inside(tableOffset, entrySize, fileSize))
    {
        return fail(ENOEXEC);
    }
    std::vector<unsigned char> entry(static_cast<std::size_t>(entrySize));
    if (count == 0)
    {
        // more sections than the header field holds: section 0 gives the count
        if (!file.readAt(tableOffset, entry.size(), entry.data()))
        {
            return fail(ENOEXEC);
        }
        count = order.get(entry.data() + layout.sectionSizeAt, layout.addressSize);
    }
    if (count > MAX_SECTIONS || !inside(tableOffset, count * entrySize, fileSize))
    {
        return fail(ENOEXEC);
    }

    std::vector<unsigned char> section;
    for (std::uint64_t index = 0; index < count; ++index)
    {
        if (!file.readAt(tableOffset + index * entrySize, entry.size(), entry.data()))
        {
            return false;
        }
        if (order.get32(entry.data() + layout.sectionTypeAt) != SECTION_TYPE_NOTE)
        {
            continue;
        }
        const std::uint64_t offset =
            order.get(entry.data() + layout.sectionOffsetAt, layout.addressSize);
        const std::uint64_t size =
            order.get(entry.data() + layout.sectionSizeAt, layout.addressSize);
        const std::uint64_t alignment =
            order.get(entry.data() + layout.sectionAlignAt, layout.addressSize) == 8 ? 8 : 4;
        if (size > MAX_NOTE_SECTION || !inside(offset, size, fileSize))
        {
            continue; // not a note section we could hold; ours is small
        }
        section.resize(static_cast<std::size_t>(size));
        if (!file.readAt(offset, section.size(), section.data()))
        {
            return false;
        }
        std::uint64_t descriptorAt = 0;
        std::uint32_t descriptorSize = 0;
        if (findNote(section, alignment, order, descriptorAt, descriptorSize) && descriptorSize > 0)
        {
            m_descriptorOffset = offset + descriptorAt;
            m_descriptorSize = descriptorSize;
            return true;
        }
    }
    return fail(ENODATA);
}

bool ElfVersionReader::read(std::vector<unsigned char>& descriptor) const
{
    platform::ReadOnlyFile file;
    if (!file.open(m_path))
    {
        return false;
    }
    // the file may have changed since it was located
    if (!inside(m_descriptorOffset, m_descriptorSize, file.size()))
    {
        return fail(EIO);
    }
    std::vector<unsigned char> data(m_descriptorSize);
    if (!file.readAt(m_descriptorOffset, data.size(), data.data()))
    {
        return false;
    }
    descriptor = std::move(data);
    return true;
}

bool ElfVersionReader::fixedInfo(const std::vector<unsigned char>& descriptor,
                                 qorversion::FixedFileInfo& info) const
{
    if (descriptor.size() < sizeof(qorversion::FixedFileInfo))
    {
        return fail(EBADMSG);
    }
    const ByteOrder order(m_bigEndian);
    std::uint32_t words[sizeof(qorversion::FixedFileInfo) / 4] = {};
    for (std::size_t i = 0; i < std::size(words); ++i)
    {
        words[i] = order.get32(descriptor.data() + 4 * i);
    }
    if (words[0] != qorversion::FIXED_FILE_INFO_SIGNATURE)
    {
        return fail(EBADMSG);
    }
    std::memcpy(&info, words, sizeof(info));
    return true;
}
