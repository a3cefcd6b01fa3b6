#include "platform/TextCodec.h"

#include "platform/LastError.h"

#include <cerrno>
#include <iconv.h>
#include <langinfo.h>

namespace
{
// glibc's name for the host's wchar_t encoding (UTF-32 in host byte order).
constexpr const char* WIDE_CHARSET = "WCHAR_T";

// One iconv descriptor, closed when the conversion is done.
class IconvHandle
{
public:
    IconvHandle(const char* to, const char* from) : m_handle(iconv_open(to, from)) {}
    ~IconvHandle()
    {
        if (valid())
        {
            iconv_close(m_handle);
        }
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;

    bool valid() const { return m_handle != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return m_handle; }

private:
    iconv_t m_handle;
};

constexpr size_t ICONV_ERROR = static_cast<size_t>(-1);

// Runs the descriptor over the whole input. onBadInput is called with the
// remaining input when iconv stops on a sequence it cannot convert; it
// consumes something from the input (and may append to the output) and
// answers false to give up.
template <typename OnBadInput>
bool runIconv(iconv_t handle, const char* input, size_t inputSize, std::string& output,
              OnBadInput onBadInput)
{
    char* in = const_cast<char*>(input); // iconv's signature, it does not write
    size_t inLeft = inputSize;
    size_t used = 0;
    output.resize(inputSize + 16);
    for (;;)
    {
        char* out = output.data() + used;
        size_t outLeft = output.size() - used;
        const size_t result = inLeft > 0 ? iconv(handle, &in, &inLeft, &out, &outLeft)
                                         : iconv(handle, nullptr, nullptr, &out, &outLeft);
        const int error = errno;
        used = output.size() - outLeft;
        if (result != ICONV_ERROR)
        {
            if (inLeft == 0 && in != nullptr)
            {
                // everything read: one more round flushes a stateful encoding
                in = nullptr;
                continue;
            }
            output.resize(used);
            return true;
        }
        if (error == E2BIG)
        {
            output.resize(output.size() * 2 + 16);
            continue;
        }
        if (!onBadInput(in, inLeft, output, used))
        {
            output.resize(used);
            return false;
        }
    }
}

void appendBytes(std::string& output, size_t& used, std::string_view bytes)
{
    if (output.size() < used + bytes.size())
    {
        output.resize(used + bytes.size() + 16);
    }
    output.replace(used, bytes.size(), bytes);
    used += bytes.size();
}
} // namespace

namespace platform
{
std::string TextCodec::localeCharset()
{
    return nl_langinfo(CODESET);
}

std::string TextCodec::charsetForCodePage(unsigned int codePage)
{
    switch (codePage)
    {
    case 0:
        return localeCharset();
    case 65001:
        return "UTF-8";
    case 20127:
        return "ANSI_X3.4-1968";
    default:
        break;
    }
    if (codePage >= 28591 && codePage <= 28599)
    {
        return "ISO-8859-" + std::to_string(codePage - 28590);
    }
    return "CP" + std::to_string(codePage);
}

bool TextCodec::encode(std::wstring_view text, const std::string& charset, Unmappable unmappable,
                       std::string& out)
{
    IconvHandle handle(charset.c_str(), WIDE_CHARSET);
    if (!handle.valid())
    {
        setLastError(EINVAL);
        return false;
    }
    std::string replacement;
    const auto onBadInput = [&](char*& in, size_t& inLeft, std::string& output, size_t& used)
    {
        if (unmappable == Unmappable::Fail || inLeft < sizeof(wchar_t))
        {
            return false;
        }
        if (replacement.empty())
        {
            // U+FFFD where the character set has it, '?' elsewhere
            std::string candidate;
            constexpr wchar_t replacementChar[] = {0xFFFD};
            const IconvHandle probe(charset.c_str(), WIDE_CHARSET);
            const char* probeIn = reinterpret_cast<const char*>(replacementChar);
            const bool holdsFffd =
                probe.valid() &&
                runIconv(probe.get(), probeIn, sizeof(replacementChar), candidate,
                         [](char*&, size_t&, std::string&, size_t&) { return false; });
            replacement = holdsFffd && !candidate.empty() ? candidate : std::string("?");
        }
        appendBytes(output, used, replacement);
        in += sizeof(wchar_t);
        inLeft -= sizeof(wchar_t);
        return true;
    };
    std::string result;
    if (!runIconv(handle.get(), reinterpret_cast<const char*>(text.data()),
                  text.size() * sizeof(wchar_t), result, onBadInput))
    {
        setLastError(EILSEQ);
        return false;
    }
    out = std::move(result);
    return true;
}

std::wstring TextCodec::decode(std::string_view text, const std::string& charset)
{
    std::wstring result;
    IconvHandle handle(WIDE_CHARSET, charset.c_str());
    if (!handle.valid())
    {
        for (const char c : text)
        {
            result.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
        }
        return result;
    }
    const auto onBadInput = [](char*& in, size_t& inLeft, std::string& output, size_t& used)
    {
        // the undecodable byte stands for itself, as a Latin-1 reading would
        const wchar_t byteAsChar = static_cast<wchar_t>(static_cast<unsigned char>(*in));
        appendBytes(output, used,
                    std::string_view(reinterpret_cast<const char*>(&byteAsChar), sizeof(wchar_t)));
        ++in;
        --inLeft;
        return true;
    };
    std::string bytes;
    runIconv(handle.get(), text.data(), text.size(), bytes, onBadInput);
    result.resize(bytes.size() / sizeof(wchar_t));
    bytes.copy(reinterpret_cast<char*>(result.data()), result.size() * sizeof(wchar_t));
    return result;
}

bool TextCodec::encodePath(std::wstring_view path, std::string& out)
{
    return encode(path, localeCharset(), Unmappable::Fail, out);
}

std::wstring TextCodec::decodePath(std::string_view path)
{
    return decode(path, localeCharset());
}
} // namespace platform
