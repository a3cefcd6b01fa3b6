// The one walk over a repository's mirrors, for every fetch path: each
// mirror in turn until one serves. A failure moves the walk on only when
// the next mirror may do better, and what the walk reports is the outcome
// of the last mirror it tried. Each path logs the passing over in its own
// words.
#pragma once

#include "pelvane/base/Outcome.h"

#include <cstddef>
#include <functional>

namespace pelvane
{
class MirrorWalk
{
public:
    enum class MoveOn
    {
        AnyFailure,     // a manifest or a chunk index: whatever went wrong, a cancel aside
        CurableFailure, // a file: what Outcome::worthAnotherMirror names
    };
    using Attempt = std::function<Outcome(std::size_t mirror)>;
    // Told that `mirror` failed with `failure` and that mirror + 1 is next.
    using PassOver = std::function<void(std::size_t mirror, const Outcome& failure)>;

    MirrorWalk(std::size_t mirrorCount, MoveOn moveOn);

    // True when the current mirror's failure should move the walk on.
    bool movesOn(const Outcome& failure) const;
    std::size_t current() const { return m_current; }

    Outcome run(const Attempt& attempt, const PassOver& passOver = nullptr);

private:
    std::size_t m_count;
    MoveOn m_moveOn;
    std::size_t m_current = 0;
};
} // namespace pelvane
