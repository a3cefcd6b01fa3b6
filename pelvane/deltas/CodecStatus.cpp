#include "pelvane/deltas/CodecStatus.h"

#include <cerrno>
#include <cstring>

namespace pelvane::deltas
{
CodecStatus CodecStatus::disk(int errorNumber, std::string detail)
{
    if (errorNumber == 0)
    {
        return success();
    }
    if (errorNumber == ECANCELED)
    {
        return failure(CodecError::Canceled, std::move(detail));
    }
    return {CodecError::Disk, errorNumber, std::move(detail)};
}

Outcome CodecStatus::outcome() const
{
    switch (error)
    {
    case CodecError::None:
        return Outcome::success();
    case CodecError::Canceled:
        return Outcome::canceled();
    case CodecError::TooLarge:
        return Outcome::failure(API_HASH, EFBIG);
    case CodecError::Disk:
        return Outcome::disk(errorNumber);
    case CodecError::Memory:
        return Outcome::internal();
    case CodecError::Corrupt:
    case CodecError::Truncated:
    case CodecError::WrongInput:
    case CodecError::WrongSource:
    case CodecError::WrongTarget:
    case CodecError::Unsupported:
        break;
    }
    return Outcome::failure(API_HASH);
}

std::string CodecStatus::describe() const
{
    std::string text = codecErrorName(error);
    if (error == CodecError::Disk)
    {
        text += " (errno " + std::to_string(errorNumber) + ", " + std::strerror(errorNumber) + ")";
    }
    if (!detail.empty())
    {
        text += ": " + detail;
    }
    return text;
}

const char* codecErrorName(CodecError error)
{
    switch (error)
    {
    case CodecError::None:
        return "ok";
    case CodecError::Canceled:
        return "canceled";
    case CodecError::Corrupt:
        return "corrupt";
    case CodecError::Truncated:
        return "truncated";
    case CodecError::TooLarge:
        return "larger than declared";
    case CodecError::WrongInput:
        return "not the announced bytes";
    case CodecError::WrongSource:
        return "wrong source";
    case CodecError::WrongTarget:
        return "wrong result";
    case CodecError::Unsupported:
        return "unsupported";
    case CodecError::Disk:
        return "disk";
    case CodecError::Memory:
        return "out of memory";
    }
    return "unknown";
}
} // namespace pelvane::deltas
