// A flag that says yes once: for the notes a run logs once however many
// objects meet the same situation. Copies share the flag, so every copy of
// a run's settings or store counts as the same run.
#pragma once

#include <atomic>
#include <memory>

namespace pelvane
{
class OnceFlag
{
public:
    // true the first time, on whichever copy
    bool first() const { return !m_done->exchange(true, std::memory_order_acq_rel); }

private:
    std::shared_ptr<std::atomic<bool>> m_done = std::make_shared<std::atomic<bool>>(false);
};
} // namespace pelvane
