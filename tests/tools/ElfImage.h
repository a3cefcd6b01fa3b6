// Builds small ELF files carrying a version note, in either class and byte
// order, and tells where their fields lie so that tests can damage them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qortest
{
struct ElfImageOptions
{
    bool is64 = true;
    bool bigEndian = false;
    std::uint32_t versionMS = 0x00020001;
    std::uint32_t versionLS = 0x00030004;
    std::uint32_t signature = 0xFEEF04BD;
    std::uint32_t descriptorSize = 52;
    std::string owner = "QorDownloader";
    std::uint32_t noteType = 1;
    bool withVersionNote = true;
    std::uint64_t noteAlignment = 4; // 8 as in .note.gnu.property
};

struct ElfImage
{
    std::vector<unsigned char> bytes;
    std::size_t sectionCountAt;       // e_shnum
    std::size_t sectionEntrySizeAt;   // e_shentsize
    std::size_t sectionTableOffsetAt; // e_shoff
    std::size_t noteSectionHeaderAt;  // the note section's header
    std::size_t versionNoteAt;        // our note's namesz field
    bool is64;
    bool bigEndian;

    // Writes an unsigned value of size bytes at offset in the image's byte order.
    void put(std::size_t offset, std::uint64_t value, std::size_t size);
    // The note section header's sh_offset / sh_size fields.
    std::size_t noteSectionOffsetField() const;
    std::size_t noteSectionSizeField() const;
};

ElfImage buildElfImage(const ElfImageOptions& options);
// Writes bytes to path; false when that fails.
bool writeFile(const std::string& path, const std::vector<unsigned char>& bytes);
} // namespace qortest
