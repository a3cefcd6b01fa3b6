// The layout of the program's version record: a Windows-style fixed file
// version (VS_FIXEDFILEINFO) carried as the descriptor of an ELF note, so that
// any tool can read a file's version without running it.
#pragma once

#include <cstdint>

namespace qorversion
{
inline constexpr char SECTION_NAME[] = ".note.qor.version";
// note owner; the name field is padded to a multiple of 4 bytes
inline constexpr char NOTE_OWNER[] = "QorDownloader";
inline constexpr std::uint32_t NOTE_TYPE = 1;
inline constexpr std::uint32_t FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD;

// Field for field the Windows record; every word little- or big-endian
// as the ELF file itself.
struct FixedFileInfo
{
    std::uint32_t dwSignature;
    std::uint32_t dwStrucVersion;
    std::uint32_t dwFileVersionMS;
    std::uint32_t dwFileVersionLS;
    std::uint32_t dwProductVersionMS;
    std::uint32_t dwProductVersionLS;
    std::uint32_t dwFileFlagsMask;
    std::uint32_t dwFileFlags;
    std::uint32_t dwFileOS;
    std::uint32_t dwFileType;
    std::uint32_t dwFileSubtype;
    std::uint32_t dwFileDateMS;
    std::uint32_t dwFileDateLS;
};
static_assert(sizeof(FixedFileInfo) == 52);

// The whole note as it lies in the section.
struct VersionNote
{
    std::uint32_t nameSize;
    std::uint32_t descriptorSize;
    std::uint32_t type;
    char owner[(sizeof(NOTE_OWNER) + 3) / 4 * 4];
    FixedFileInfo info;
};
} // namespace qorversion
