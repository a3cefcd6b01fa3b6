#include "ElfImage.h"

#include <fstream>

namespace qortest
{
void ElfImage::put(std::size_t offset, std::uint64_t value, std::size_t size)
{
    if (bytes.size() < offset + size)
    {
        bytes.resize(offset + size);
    }
    for (std::size_t i = 0; i < size; ++i)
    {
        const std::size_t index = bigEndian ? offset + size - 1 - i : offset + i;
        bytes[index] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
    }
}

std::size_t ElfImage::noteSectionOffsetField() const
{
    return noteSectionHeaderAt + (is64 ? 24 : 16);
}

std::size_t ElfImage::noteSectionSizeField() const
{
    return noteSectionHeaderAt + (is64 ? 32 : 20);
}

namespace
{
std::size_t alignUp(std::size_t value, std::size_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// Appends one note (header, padded name, padded descriptor) at the end.
std::size_t appendNote(ElfImage& image, const std::string& owner, std::uint32_t type,
                       const std::vector<std::uint32_t>& words, std::uint32_t declaredSize,
                       std::size_t alignment)
{
    const std::size_t at = image.bytes.size();
    const std::size_t nameSize = owner.size() + 1;
    image.put(at, nameSize, 4);
    image.put(at + 4, declaredSize, 4);
    image.put(at + 8, type, 4);
    std::size_t position = at + 12;
    image.bytes.resize(position + nameSize, 0);
    std::copy(owner.begin(), owner.end(), image.bytes.begin() + static_cast<long>(position));
    position = alignUp(position + nameSize, alignment);
    image.bytes.resize(position, 0);
    for (const std::uint32_t word : words)
    {
        image.put(position, word, 4);
        position += 4;
    }
    image.bytes.resize(alignUp(at + (position - at), alignment), 0);
    return at;
}
} // namespace

ElfImage buildElfImage(const ElfImageOptions& options)
{
    ElfImage image{};
    image.is64 = options.is64;
    image.bigEndian = options.bigEndian;
    const std::size_t headerSize = options.is64 ? 64 : 52;
    const std::size_t sectionHeaderSize = options.is64 ? 64 : 40;
    const std::size_t addressSize = options.is64 ? 8 : 4;
    image.bytes.assign(headerSize, 0);
    const unsigned char ident[] = {0x7F,
                                   'E',
                                   'L',
                                   'F',
                                   static_cast<unsigned char>(options.is64 ? 2 : 1),
                                   static_cast<unsigned char>(options.bigEndian ? 2 : 1),
                                   1};
    std::copy(std::begin(ident), std::end(ident), image.bytes.begin());
    image.put(16, 2, 2);                          // e_type: executable
    image.put(18, options.bigEndian ? 2 : 62, 2); // e_machine
    image.put(20, 1, 4);                          // e_version
    image.sectionTableOffsetAt = options.is64 ? 0x28 : 0x20;
    image.sectionEntrySizeAt = options.is64 ? 0x3A : 0x2E;
    image.sectionCountAt = options.is64 ? 0x3C : 0x30;
    image.put(options.is64 ? 0x34 : 0x28, headerSize, 2); // e_ehsize

    // the note section: a foreign note first, then ours
    const std::size_t alignment = static_cast<std::size_t>(options.noteAlignment);
    image.bytes.resize(alignUp(image.bytes.size(), alignment), 0);
    const std::size_t sectionStart = image.bytes.size();
    appendNote(image, "GNU", 3, {0x12345678, 0x9ABCDEF0}, 8, alignment);
    image.versionNoteAt = 0;
    if (options.withVersionNote)
    {
        std::vector<std::uint32_t> words = {options.signature,
                                            0x00010000,
                                            options.versionMS,
                                            options.versionLS,
                                            options.versionMS,
                                            options.versionLS,
                                            0x3F,
                                            0,
                                            0,
                                            1,
                                            0,
                                            0,
                                            0};
        words.resize(options.descriptorSize / 4, 0);
        image.versionNoteAt = appendNote(image, options.owner, options.noteType, words,
                                         options.descriptorSize, alignment);
    }
    const std::size_t sectionSize = image.bytes.size() - sectionStart;

    // section table: the null section and the note section
    image.bytes.resize(alignUp(image.bytes.size(), 8), 0);
    const std::size_t tableAt = image.bytes.size();
    image.bytes.resize(tableAt + 2 * sectionHeaderSize, 0);
    image.noteSectionHeaderAt = tableAt + sectionHeaderSize;
    image.put(image.noteSectionHeaderAt + 4, 7, 4);           // SHT_NOTE
    image.put(image.noteSectionHeaderAt + 8, 2, addressSize); // SHF_ALLOC
    image.put(image.noteSectionOffsetField(), sectionStart, addressSize);
    image.put(image.noteSectionSizeField(), sectionSize, addressSize);
    image.put(image.noteSectionHeaderAt + (options.is64 ? 48 : 32), alignment, addressSize);

    image.put(image.sectionTableOffsetAt, tableAt, addressSize);
    image.put(image.sectionEntrySizeAt, sectionHeaderSize, 2);
    image.put(image.sectionCountAt, 2, 2);
    return image;
}

bool writeFile(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}
} // namespace qortest
