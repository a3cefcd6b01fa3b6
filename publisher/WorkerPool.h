// Runs the same task over the numbers 0..count-1 on a few threads (one per
// core by default), each number once, bigger jobs first when the caller
// orders them so. The publisher's compressions and deltas are independent
// per file, so this is all the scheduling they need.
#pragma once

#include <cstddef>
#include <functional>

namespace publisher
{
// The number of workers for this machine (at least 1).
unsigned workerCount();

// Calls task(i) for every i below count, from `workers` threads; returns
// when all are done. The first exception a task throws is rethrown here,
// after the others ended (no new task starts once one threw).
void runInParallel(std::size_t count, const std::function<void(std::size_t)>& task,
                   unsigned workers = workerCount());
} // namespace publisher
