// What each of the publisher's steps costs on one large file pair: the
// whole-file object, its framed twin, and both delta methods, at a level
// and a number of zstd threads given on the command line. Prints one line
// per step: bytes, wall and CPU seconds (the whole process's, so zstd's
// own threads count), and whether the result decodes to the new file.
//   cost_bench OLD NEW STEP...
//   STEP: whole:LEVEL:THREADS  framed:LEVEL  suffix[:LEVEL:WINDOWLOG]  patchfrom:LEVEL:THREADS
// (suffix: the level and window of its streams; the publisher's by default)
#include "pelvane/base/Sha256.h"
#include "pelvane/chunks/ChunkIndex.h"
#include "pelvane/deltas/DeltaCodec.h"
#include "pelvane/deltas/ObjectCompressor.h"
#include "pelvane/deltas/ObjectDecoder.h"
#include "pelvane/deltas/PatchFromDelta.h"
#include "pelvane/deltas/Varint.h"

#include "platform/FileDescriptor.h"
#include "platform/MappedFile.h"
#include "platform/SystemCalls.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

using namespace pelvane;
using namespace pelvane::deltas;

namespace
{
double cpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double wallSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string sha256Of(const platform::MappedFile& map)
{
    Sha256 digest;
    digest.update(map.data(), static_cast<std::size_t>(map.size()));
    return digest.finishHex();
}

platform::FileDescriptor output(const std::string& path)
{
    std::filesystem::remove(path);
    return platform::FileDescriptor(platform::SystemCalls::open(
        path, platform::SystemCalls::OpenMode::ReadWriteCreateNoFollow));
}

std::vector<std::string> split(const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t at = 0;
    for (std::size_t colon; (colon = text.find(':', at)) != std::string::npos; at = colon + 1)
    {
        parts.push_back(text.substr(at, colon - at));
    }
    parts.push_back(text.substr(at));
    return parts;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
    {
        std::fprintf(stderr, "usage: cost_bench OLD NEW STEP...\n");
        return 2;
    }
    const std::string oldPath = argv[1];
    const std::string newPath = argv[2];
    platform::MappedFile oldMap;
    platform::MappedFile newMap;
    if (oldMap.mapForReading(oldPath) != 0 || newMap.mapForReading(newPath) != 0)
    {
        std::fprintf(stderr, "cost_bench: cannot read the files\n");
        return 1;
    }
    const Bytes source{oldMap.data(), static_cast<std::size_t>(oldMap.size())};
    const Bytes target{newMap.data(), static_cast<std::size_t>(newMap.size())};
    const DeltaExpectation expected{sha256Of(oldMap), target.size(), sha256Of(newMap)};
    const std::string part = std::filesystem::temp_directory_path() / "cost_bench.part";
    for (int i = 3; i < argc; ++i)
    {
        const std::vector<std::string> step = split(argv[i]);
        const int level = step.size() > 1 ? std::atoi(step[1].c_str()) : 19;
        const int threads = step.size() > 2 ? std::atoi(step[2].c_str()) : 0;
        const double wall = wallSeconds();
        const double cpu = cpuSeconds();
        std::string objectBytes;
        StringSink sink(objectBytes);
        std::string delta;
        CodecStatus status = CodecStatus::success();
        CompressedObject object;
        if (step[0] == "whole" || step[0] == "framed")
        {
            CompressionOptions options;
            options.level = level;
            options.workers = threads;
            if (step[0] == "whole")
            {
                status = compressWhole(newPath, sink, options, object);
            }
            else
            {
                ChunkIndex index;
                int errorNumber = 0;
                ChunkIndex::build(newPath, index, nullptr, nullptr, errorNumber);
                std::vector<std::uint32_t> lengths;
                for (const Chunk& chunk : index.chunks())
                {
                    lengths.push_back(chunk.length);
                }
                status = compressFramed(newPath, lengths, sink, options, object);
            }
        }
        else if (step[0] == "suffix")
        {
            DeltaOptions options;
            if (step.size() > 1)
            {
                options.suffix.streamLevel = level;
            }
            if (step.size() > 2)
            {
                options.suffix.streamWindowLog = threads;
            }
            status = makeDelta(DeltaMethod::Suffix, source, target, options, delta);
        }
        else if (step[0] == "patchfrom")
        {
            delta.push_back(static_cast<char>(DeltaMethod::PatchFrom));
            varint::put(delta, source.size());
            varint::put(delta, target.size());
            status = makePatchFromPayload(source, target, level, delta, threads);
        }
        const double madeWall = wallSeconds() - wall;
        const double madeCpu = cpuSeconds() - cpu;
        const char* decodes = "-";
        if (status.ok() && step[0] == "whole")
        {
            platform::FileDescriptor out = output(part);
            ObjectDecoder decoder;
            CodecStatus check =
                decoder.open(out.get(), {object.size, object.sha256, target.size(),
                                         expected.targetSha256});
            if (check.ok())
            {
                check = decoder.feed(objectBytes.data(), objectBytes.size());
            }
            decodes = check.ok() && decoder.finish().ok() ? "yes" : "NO";
        }
        else if (status.ok() && !delta.empty())
        {
            platform::FileDescriptor out = output(part);
            decodes = applyDelta(oldPath,
                                 {reinterpret_cast<const unsigned char*>(delta.data()),
                                  delta.size()},
                                 out.get(), expected, nullptr)
                              .ok()
                          ? "yes"
                          : "NO";
        }
        std::printf("%s bytes=%zu wall_s=%.1f cpu_s=%.1f decodes=%s%s\n", argv[i],
                    delta.empty() ? objectBytes.size() : delta.size(), madeWall, madeCpu, decodes,
                    status.ok() ? "" : (" failed: " + status.describe()).c_str());
        std::fflush(stdout);
    }
    std::filesystem::remove(part);
    return 0;
}
