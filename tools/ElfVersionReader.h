// Reads the version record (see resources/VersionRecord.h) of any file by
// walking the note sections of its ELF section table. 32- and 64-bit files of
// either byte order are understood; every offset and size taken from the
// file is checked against the file before it is used, so a truncated or
// hostile file only makes the reading fail.
//
// The three steps mirror the Windows version API, so that the caller can
// report which one failed. Error codes left as last error:
//   locate:     the open's errno (ENOENT, EACCES, EISDIR...), ENOEXEC when the
//               file is not ELF or its section table is damaged, ENODATA when
//               it carries no version note
//   read:       the read's errno, EIO when the file ended early
//   fixedInfo:  EBADMSG when the record is too short or not signed 0xFEEF04BD
#pragma once

#include "resources/VersionRecord.h"

#include <cstdint>
#include <string>
#include <vector>

class ElfVersionReader
{
public:
    // Finds the version note of path; its descriptor size is then known.
    bool locate(const std::string& path);
    std::uint32_t descriptorSize() const { return m_descriptorSize; }
    // Reads the located descriptor.
    bool read(std::vector<unsigned char>& descriptor) const;
    // The fixed record inside a descriptor read from this file.
    bool fixedInfo(const std::vector<unsigned char>& descriptor,
                   qorversion::FixedFileInfo& info) const;

private:
    std::string m_path;
    bool m_bigEndian = false;
    std::uint64_t m_descriptorOffset = 0;
    std::uint32_t m_descriptorSize = 0;
};
