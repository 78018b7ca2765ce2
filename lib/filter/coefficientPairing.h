// Coefficient pairs after the core's rule (rtl/lpf_system.v's header), as
// far as a board that only looks at the registers now and then can follow
// it. The core: a store to Ky's top byte lane commits that Ky with the Ku
// last stored; any other store to Ku or Ky is held; and every store to
// either restarts a hold of LPF_PAIR_HOLD_SAMPLES, after which the pair
// becomes the last Ku and Ky stored. The console stores Ku, then Ky.
//
// A look cannot see a store, only a changed value. So: a changed Ky applies
// the pair seen (Ky with the Ku beside it); a changed Ku (or Ky) restarts the
// hold; and a pair seen that differs from the one applied (a Ku alone, or Ky
// stored again with its old value, which no look can see) is applied once
// nothing has changed for PAIR_HOLD_NS.
#pragma once

#include "filterEncoding.h"
#include "hwregs.h"

#include <cstdint>

constexpr int64_t PAIR_HOLD_NS = int64_t{LPF_PAIR_HOLD_SAMPLES} * LPF_TS_NS;

struct CoefficientPair {
    uint32_t Ku;
    uint32_t Ky;
};

struct PairWatch {
    CoefficientPair seen;    // the registers at the last look
    CoefficientPair applied; // what the filter runs on
    int64_t changedAt;       // nanoseconds: the look at which Ku or Ky last changed
};

// One look at the registers, at `now`: updates what the filter runs on. Ky
// must be loaded before Ku, so that a new Ky always comes with its Ku.
void watchPair(PairWatch &watch, uint32_t Ku, uint32_t Ky, int64_t now);

// Whether a Ku or Ky seen is not yet applied: the core's LPF_STATUS_PAIR_HELD.
bool pairHeld(const PairWatch &watch);
