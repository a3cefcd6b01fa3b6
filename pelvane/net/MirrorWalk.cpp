#include "pelvane/net/MirrorWalk.h"

namespace pelvane
{
MirrorWalk::MirrorWalk(std::size_t mirrorCount, MoveOn moveOn)
    : m_count(mirrorCount), m_moveOn(moveOn)
{
}

bool MirrorWalk::movesOn(const Outcome& failure) const
{
    if (failure.ok() || m_current + 1 >= m_count)
    {
        return false;
    }
    return m_moveOn == MoveOn::AnyFailure ? !failure.is(API_CANCELED)
                                          : failure.worthAnotherMirror();
}

Outcome MirrorWalk::run(const Attempt& attempt, const PassOver& passOver)
{
    if (m_count == 0)
    {
        return Outcome::internal(); // a checked configuration names one mirror at least
    }
    for (;;)
    {
        const Outcome outcome = attempt(m_current);
        if (!movesOn(outcome))
        {
            return outcome;
        }
        if (passOver)
        {
            passOver(m_current, outcome);
        }
        ++m_current;
    }
}
} // namespace pelvane
