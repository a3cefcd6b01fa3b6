// The moment by which a fetch must be over, whatever its tries and waits;
// none for fetches that only the transfer bounds limit.
#pragma once

#include <chrono>
#include <optional>

namespace pelvane
{
class Deadline
{
public:
    using Clock = std::chrono::steady_clock;

    Deadline() = default; // none
    static Deadline after(std::chrono::milliseconds span)
    {
        Deadline deadline;
        deadline.m_end = Clock::now() + span;
        deadline.m_span = span;
        return deadline;
    }

    bool passed(Clock::time_point now = Clock::now()) const { return m_end && now >= *m_end; }
    // true when waiting `wait` from now would end past the deadline
    bool endsBefore(std::chrono::milliseconds wait) const
    {
        return m_end && Clock::now() + wait >= *m_end;
    }
    std::chrono::milliseconds span() const { return m_span; }

private:
    std::optional<Clock::time_point> m_end;
    std::chrono::milliseconds m_span{0};
};
} // namespace pelvane
