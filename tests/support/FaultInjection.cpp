#include "FaultInjection.h"

#include <cerrno>

namespace qortest
{
FaultInjection::FaultInjection(Rule rule) : m_rule(std::move(rule))
{
    platform::SystemCalls::setFaultHook(&FaultInjection::answer, this);
}

FaultInjection::~FaultInjection()
{
    platform::SystemCalls::setFaultHook(nullptr, nullptr);
}

int FaultInjection::answer(Call call, const std::string& path, void* context)
{
    auto* self = static_cast<FaultInjection*>(context);
    const std::lock_guard<std::mutex> lock(self->m_mutex);
    const int error = self->m_rule(call, path);
    if (error != 0)
    {
        ++self->m_injected;
    }
    return error;
}

FaultInjection::Rule FaultInjection::interruptEachCallOnce()
{
    // the answers alternate per thread: interrupted, then let through (the
    // retry), so that another thread's calls cannot starve a retry
    return [](Call, const std::string&)
    {
        static thread_local bool interruptNext = true;
        const bool interrupt = interruptNext;
        interruptNext = !interrupt;
        return interrupt ? EINTR : 0;
    };
}

FaultInjection::Rule FaultInjection::fail(Call call, int error, std::string part)
{
    return [call, error, part = std::move(part)](Call made, const std::string& path)
    { return made == call && (part.empty() || path.find(part) != std::string::npos) ? error : 0; };
}
} // namespace qortest
