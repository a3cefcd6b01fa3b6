// What one zstd frame per content-defined chunk costs against one
// long-window frame per file, on a real release tree: every regular file of
// at least 16 KiB (the ones that get a chunk index) compressed both ways at
// the publisher's level. Prints one line per tree.
//   framed_bench TREE...
#include "pelvane/chunks/ChunkIndex.h"
#include "pelvane/deltas/ObjectCompressor.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

using namespace pelvane;
using namespace pelvane::deltas;

namespace
{
class CountingSink : public ByteSink
{
public:
    int write(const void*, std::size_t size) override
    {
        bytes += size;
        return 0;
    }
    std::uint64_t bytes = 0;
};

double secondsSince(std::chrono::steady_clock::time_point began)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: framed_bench TREE...\n");
        return 2;
    }
    for (int i = 1; i < argc; ++i)
    {
        std::uint64_t raw = 0;
        std::uint64_t files = 0;
        CountingSink whole;
        CountingSink framed;
        double wholeSeconds = 0;
        double framedSeconds = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(argv[i]))
        {
            if (!entry.is_regular_file() || entry.is_symlink() || entry.file_size() < 16384)
            {
                continue;
            }
            const std::string path = entry.path().string();
            ChunkIndex index;
            int errorNumber = 0;
            if (!ChunkIndex::build(path, index, nullptr, nullptr, errorNumber))
            {
                std::fprintf(stderr, "cannot read %s\n", path.c_str());
                return 1;
            }
            std::vector<std::uint32_t> lengths;
            for (const Chunk& chunk : index.chunks())
            {
                lengths.push_back(chunk.length);
            }
            CompressedObject object;
            auto began = std::chrono::steady_clock::now();
            if (!compressWhole(path, whole, {}, object).ok())
            {
                return 1;
            }
            wholeSeconds += secondsSince(began);
            began = std::chrono::steady_clock::now();
            if (!compressFramed(path, lengths, framed, {}, object).ok())
            {
                return 1;
            }
            framedSeconds += secondsSince(began);
            raw += index.fileSize();
            ++files;
        }
        std::printf("tree=%s files=%llu raw=%llu whole=%llu framed=%llu whole_s=%.1f framed_s=%.1f\n",
                    argv[i], static_cast<unsigned long long>(files),
                    static_cast<unsigned long long>(raw),
                    static_cast<unsigned long long>(whole.bytes),
                    static_cast<unsigned long long>(framed.bytes), wholeSeconds, framedSeconds);
        std::fflush(stdout);
    }
    return 0;
}
