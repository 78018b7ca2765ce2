// The slave's contract as a clock-by-clock reference, built on lpfboard's
// filterStep, for the co-simulation and the replay of console traces: the
// registers as the bus defines them (byte lanes, the pair a Ky store commits
// with its top lane or the hold's end, y STEP_CLOCKS after its sample), the
// words that say what the core is, the read data one clock after a read and
// held without one, 0 from other words, and reset.
#pragma once

#include "hwregs.h"

#include <cstdint>

constexpr unsigned LED_WORD = LED_BASE / 4, U_WORD = LPF_U_BASE / 4, KU_WORD = LPF_KU_BASE / 4,
                   KY_WORD = LPF_KY_BASE / 4, Y_WORD = LPF_Y_BASE / 4;
constexpr unsigned IDENTITY_WORD = LPF_IDENTITY_BASE / 4, CLOCK_HZ_WORD = LPF_CLOCK_HZ_BASE / 4,
                   SAMPLE_COUNT_WORD = LPF_SAMPLE_COUNT_BASE / 4, STATUS_WORD = LPF_STATUS_BASE / 4;
constexpr unsigned ALL_LANES = 0xF;
constexpr unsigned TOP_LANE = 0x8; // a Ky store that writes it commits the pair

// The inputs of one clock.
struct Bus {
    unsigned address;
    bool write;
    uint32_t writedata;
    unsigned byteenable;
    bool read;
};

struct Reference {
    int divider; // clocks a sample
    uint32_t led, u, ku, ky, kuPair, kyPair;
    int64_t state; // after the latest sample
    int64_t shown; // the state that y shows
    int untilShown;
    int phase;
    uint32_t sampleCount;
    uint32_t holdLeft; // samples until the pair becomes the last Ku and Ky stored
    bool held;         // a store to Ku or Ky waits for the pair
    uint32_t readdata;
};

// What a run of the reference went through, to show it reached what it is
// meant to check.
struct Coverage {
    uint64_t samples, saturatedHigh, saturatedLow, writesAtSample, resets;
    uint64_t heldKuSamples, pairsCommitted, kyAlone, partialStores;
    uint64_t heldKySamples; // samples while part of a Ky waits for its top lane
    uint64_t piecewiseCommits;
};

// From a sampling edge to the edge that shows its y.
int stepClocks(int divider);

// The reference as a reset leaves it, at `divider` clocks a sample.
Reference resetReference(int divider);

// A register after a store of `bus` to it: the enabled lanes replaced.
uint32_t stored(uint32_t old, const Bus &bus);

// What a read of `address` returns in the clock after it.
uint32_t wordOf(const Reference &ref, unsigned address);

// What one rising edge does, from the values held before it.
void referenceEdge(Reference &ref, const Bus &bus, bool reset, Coverage &coverage);
