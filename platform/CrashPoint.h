// Named instants at which the crash-consistency tests stop the program so
// that they can kill it there with SIGKILL. With QOR_CRASH_POINT=name:N in
// the environment the Nth pass through the point `name` stops the process
// (SIGSTOP) and leaves the rest to the test; without it a pass costs one
// relaxed load after the first.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace platform
{
namespace crash_point_detail
{
struct Armed
{
    std::string_view name;
    long hit = 0;
};

inline Armed armedPoint() noexcept
{
    const char* text = std::getenv("QOR_CRASH_POINT");
    if (text == nullptr)
    {
        return {};
    }
    const std::string_view spec(text);
    const std::size_t colon = spec.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
    {
        return {};
    }
    const long hit = std::strtol(text + colon + 1, nullptr, 10);
    return hit > 0 ? Armed{spec.substr(0, colon), hit} : Armed{};
}
} // namespace crash_point_detail

inline void crashPoint(std::string_view name) noexcept
{
    static const crash_point_detail::Armed armed = crash_point_detail::armedPoint();
    static std::atomic<long> passes{0};
    if (armed.hit == 0 || name != armed.name)
    {
        return;
    }
    if (passes.fetch_add(1, std::memory_order_relaxed) + 1 == armed.hit)
    {
        std::fprintf(stderr, "crash point %.*s:%ld reached\n", static_cast<int>(name.size()),
                     name.data(), armed.hit);
        std::fflush(stderr);
        std::raise(SIGSTOP);
    }
}
} // namespace platform
