#include "coefficientPairing.h"

void watchPair(PairWatch &watch, uint32_t Ku, uint32_t Ky, int64_t now)
{
    if (Ku != watch.seen.Ku)
        watch.kuChangedAt = now;
    bool kyStored = Ky != watch.seen.Ky;
    bool loneKuSettled = Ku != watch.applied.Ku && now - watch.kuChangedAt >= LONE_KU_NS;
    if (kyStored || loneKuSettled)
        watch.applied = CoefficientPair{Ku, Ky};
    watch.seen = CoefficientPair{Ku, Ky};
}
