// One file pair through the codec layer: the new file's compressed object,
// both delta methods made and applied (timed, the result checked against
// its SHA-256), and what the chooser keeps. Prints one line of key=value
// figures for run.sh to tabulate.
//   delta_bench OLD NEW WORKDIR
#include "pelvane/base/Sha256.h"
#include "pelvane/deltas/DeltaCodec.h"
#include "pelvane/deltas/ObjectCompressor.h"
#include "pelvane/deltas/ObjectDecoder.h"

#include "platform/FileDescriptor.h"
#include "platform/MappedFile.h"
#include "platform/SystemCalls.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

using namespace pelvane;
using namespace pelvane::deltas;

namespace
{
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point began)
{
    return std::chrono::duration<double>(Clock::now() - began).count();
}

std::string fileSha256(const std::string& path)
{
    platform::MappedFile map;
    if (map.mapForReading(path) != 0)
    {
        return {};
    }
    Sha256 digest;
    digest.update(map.data(), static_cast<std::size_t>(map.size()));
    return digest.finishHex();
}

platform::FileDescriptor openOutput(const std::string& path)
{
    std::filesystem::remove(path);
    return platform::FileDescriptor(platform::SystemCalls::open(
        path, platform::SystemCalls::OpenMode::ReadWriteCreateNoFollow));
}

bool fail(const char* what, const CodecStatus& status)
{
    std::fprintf(stderr, "delta_bench: %s: %s\n", what, status.describe().c_str());
    return false;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
    {
        std::fprintf(stderr, "usage: delta_bench OLD NEW WORKDIR\n");
        return 2;
    }
    const std::string oldPath = argv[1];
    const std::string newPath = argv[2];
    const std::string work = argv[3];
    const std::uint64_t newSize = std::filesystem::file_size(newPath);
    const DeltaExpectation expected{fileSha256(oldPath), newSize, fileSha256(newPath)};

    // the compressed object, and its decoding into a part file
    const std::string objectPath = work + "/object.zst";
    CompressedObject object;
    Clock::time_point began = Clock::now();
    {
        platform::FileDescriptor out = openOutput(objectPath);
        FdSink sink(out.get());
        if (const CodecStatus status = compressWhole(newPath, sink, {}, object); !status.ok())
        {
            return fail("compressing", status) ? 0 : 1;
        }
    }
    const double compressSeconds = secondsSince(began);
    began = Clock::now();
    {
        platform::MappedFile compressed;
        compressed.mapForReading(objectPath);
        platform::FileDescriptor part = openOutput(work + "/part");
        ObjectDecoder decoder;
        CodecStatus status =
            decoder.open(part.get(), {object.size, object.sha256, newSize, expected.targetSha256});
        if (status.ok())
        {
            status = decoder.feed(compressed.data(), static_cast<std::size_t>(compressed.size()));
        }
        if (status.ok())
        {
            status = decoder.finish();
        }
        if (!status.ok())
        {
            return fail("decompressing", status) ? 0 : 1;
        }
    }
    const double decompressSeconds = secondsSince(began);
    std::printf("new=%llu zst=%llu zst_s=%.3f unzst_s=%.3f",
                static_cast<unsigned long long>(newSize),
                static_cast<unsigned long long>(object.size), compressSeconds, decompressSeconds);

    for (const DeltaMethod method : {DeltaMethod::Suffix, DeltaMethod::PatchFrom})
    {
        const char* name = method == DeltaMethod::Suffix ? "suffix" : "patchfrom";
        platform::MappedFile source;
        platform::MappedFile target;
        source.mapForReading(oldPath);
        target.mapForReading(newPath);
        std::string delta;
        began = Clock::now();
        CodecStatus status =
            makeDelta(method, {source.data(), static_cast<std::size_t>(source.size())},
                      {target.data(), static_cast<std::size_t>(target.size())}, {}, delta);
        const double makeSeconds = secondsSince(began);
        if (!status.ok())
        {
            std::printf(" %s=- %s_make_s=- %s_apply_s=-", name, name, name);
            continue;
        }
        began = Clock::now();
        platform::FileDescriptor out = openOutput(work + "/applied");
        status = applyDelta(oldPath,
                            {reinterpret_cast<const unsigned char*>(delta.data()), delta.size()},
                            out.get(), expected, nullptr);
        const double applySeconds = secondsSince(began);
        if (!status.ok())
        {
            return fail(name, status) ? 0 : 1;
        }
        std::printf(" %s=%zu %s_make_s=%.3f %s_apply_s=%.3f", name, delta.size(), name, makeSeconds,
                    name, applySeconds);
    }
    std::printf("\n");
    return 0;
}
