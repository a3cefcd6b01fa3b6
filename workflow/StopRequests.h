// Stop requests of an unattended run: SIGTERM (service managers, kill) and
// SIGINT (Ctrl-C) are caught from the program's first instruction to its
// last, so that a stop is never the signal's default death (exit 143): one
// before the run starts ends it with -3 before anything is touched, one
// during it is handled by the run, one after its outcome is known changes
// nothing. The handler only counts; the run's loop takes the requests.
#pragma once

namespace StopRequests
{
// Installs the handler for SIGTERM and SIGINT (again: harmless).
void catchSignals() noexcept;
// For runs that are not unattended: the signals' default action again, and
// a signal that came while they were caught is delivered now.
void releaseSignals() noexcept;
// Counts a request as a signal would; safe from any thread.
void request() noexcept;
// True once for each batch of requests not taken yet.
bool take() noexcept;
// Drops requests not taken: they came after the run they were meant for.
void forgetPending() noexcept;
} // namespace StopRequests
