#include "coefficientPairing.h"

static bool samePair(const CoefficientPair &a, const CoefficientPair &b)
{
    return a.Ku == b.Ku && a.Ky == b.Ky;
}

void watchPair(PairWatch &watch, uint32_t Ku, uint32_t Ky, int64_t now)
{
    CoefficientPair seen{Ku, Ky};
    if (!samePair(seen, watch.seen))
        watch.changedAt = now;
    bool kyStored = Ky != watch.seen.Ky;
    bool holdOver = now - watch.changedAt >= PAIR_HOLD_NS;
    if (kyStored || holdOver)
        watch.applied = seen;
    watch.seen = seen;
}

bool pairHeld(const PairWatch &watch)
{
    return !samePair(watch.seen, watch.applied);
}
