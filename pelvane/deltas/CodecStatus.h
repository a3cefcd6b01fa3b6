// What a compression or delta operation came to. Every failure of a
// decoder is one of a few kinds the caller can act on: a bomb (the data
// would grow beyond the size it declared) is told apart from corrupt or
// truncated data, and a wrong source from a wrong result, so that the run
// can report code 9 with EFBIG for the first and fall back for the others.
#pragma once

#include "pelvane/base/Outcome.h"

#include <string>

namespace pelvane::deltas
{
enum class CodecError
{
    None,
    Canceled,
    Corrupt,     // the bytes do not decode (a damaged or hostile object or delta)
    Truncated,   // the bytes ended before the data they encode did
    TooLarge,    // the output would exceed its declared size: a bomb
    WrongInput,  // the compressed bytes or the delta are not the ones announced (size, SHA-256)
    WrongSource, // the delta's source is not the file given (size, SHA-256)
    WrongTarget, // the output has its declared size, but not its SHA-256
    Unsupported, // a method or a size this build does not handle
    Disk,        // reading or writing a file failed; errorNumber holds the errno
    Memory,      // the compressor or the suffix sorter found no memory
};

struct CodecStatus
{
    CodecError error = CodecError::None;
    int errorNumber = 0;
    std::string detail; // one line for the log, without the kind's name

    static CodecStatus success() { return {}; }
    static CodecStatus failure(CodecError error, std::string detail = {})
    {
        return {error, 0, std::move(detail)};
    }
    // 0 is success, ECANCELED a cancel, anything else a disk failure.
    static CodecStatus disk(int errorNumber, std::string detail = {});

    bool ok() const { return error == CodecError::None; }
    // The three codes of the run: a bomb is code 9 with EFBIG (27), like a
    // body longer than its file; any other bad data is code 9.
    Outcome outcome() const;
    // "corrupt: zstd: Data corruption detected"
    std::string describe() const;
};

const char* codecErrorName(CodecError error);
} // namespace pelvane::deltas
