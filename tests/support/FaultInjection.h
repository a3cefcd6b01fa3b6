// Makes chosen system calls fail, for as long as the object lives, through
// the platform layer's fault hook. The rule is asked before every call (from
// any thread, one at a time) and answers the errno to fail it with, EINTR to
// interrupt it, or 0 to let it run.
#pragma once

#include "platform/SystemCalls.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

namespace qortest
{
class FaultInjection
{
public:
    using Call = platform::SystemCalls::Call;
    using Rule = std::function<int(Call call, const std::string& path)>;

    explicit FaultInjection(Rule rule);
    ~FaultInjection();
    FaultInjection(const FaultInjection&) = delete;
    FaultInjection& operator=(const FaultInjection&) = delete;

    // How many calls the rule failed or interrupted.
    int injected() const noexcept { return m_injected.load(); }

    // A rule that interrupts every call once before letting it run, so that
    // each call's retry is exercised.
    static Rule interruptEachCallOnce();
    // A rule that fails every call of one kind whose path contains part
    // (any path when part is empty).
    static Rule fail(Call call, int error, std::string part = {});

private:
    static int answer(Call call, const std::string& path, void* context);

    Rule m_rule;
    std::mutex m_mutex;
    std::atomic<int> m_injected{0};
};
} // namespace qortest
