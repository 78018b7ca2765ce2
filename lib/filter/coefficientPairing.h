// Coefficient pairs after the core's rule, as far as a board that only looks
// at the registers now and then can follow it: a store to Ku waits for the
// next store to Ky, and the two take effect together. The console stores
// Ku, then Ky. (Where the two differ: docs/design.md, "The FPGA core".)
//
// A look cannot see a store, only a changed value. So: a changed Ky applies
// the pair (Ky with the Ku seen beside it); a changed Ku alone is held, and
// applied only once it has stayed unchanged for LONE_KU_NS, since Ky may
// have been stored again with its old value, which no look can see. The
// wait is long beside the console's two stores, short for a person.
#pragma once

#include <cstdint>

constexpr int64_t LONE_KU_NS = 100000000; // 100 ms

struct CoefficientPair {
    uint32_t Ku;
    uint32_t Ky;
};

struct PairWatch {
    CoefficientPair seen;    // the registers at the last look
    CoefficientPair applied; // what the filter runs on
    int64_t kuChangedAt;     // nanoseconds: the look at which Ku last changed
};

// One look at the registers, at `now`: updates what the filter runs on. Ky
// must be loaded before Ku, so that a new Ky always comes with its Ku.
void watchPair(PairWatch &watch, uint32_t Ku, uint32_t Ky, int64_t now);
