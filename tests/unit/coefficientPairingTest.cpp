// How lpfboard pairs Ku with Ky, look by look: a row is one look at the
// registers, the pair the filter runs on after it, and whether a Ku or Ky
// seen is held.
#include "coefficientPairing.h"

#include <gtest/gtest.h>

TEST(CoefficientPairing, KuWaitsForKy)
{
    constexpr int64_t MS = 1000000;
    struct Look {
        const char *what;
        int64_t ms;
        uint32_t Ku, Ky;
        uint32_t appliedKu, appliedKy;
        bool held;
    };
    const Look looks[] = {
        {"power-on", 0, 0, 0, 0, 0, false},
        {"Ku alone is held", 1, 0x100, 0, 0, 0, true},
        {"Ky brings it", 2, 0x100, 0xE000, 0x100, 0xE000, false},
        {"both in one look", 3, 0x200, 0xF000, 0x200, 0xF000, false},
        {"Ku alone again", 4, 0x300, 0xF000, 0x200, 0xF000, true},
        {"still held", 4 + 99, 0x300, 0xF000, 0x200, 0xF000, true},
        {"unchanged long enough: Ky was stored equal", 4 + 100, 0x300, 0xF000, 0x300, 0xF000, false},
        {"Ky alone keeps the Ku", 105, 0x300, 0xA000, 0x300, 0xA000, false},
        {"Ku held", 106, 0x400, 0xA000, 0x300, 0xA000, true},
        {"Ku changes again: the wait starts over", 150, 0x500, 0xA000, 0x300, 0xA000, true},
        {"not long enough since", 150 + 99, 0x500, 0xA000, 0x300, 0xA000, true},
        {"long enough", 150 + 100, 0x500, 0xA000, 0x500, 0xA000, false},
        {"Ku back to the applied one", 251, 0x300, 0xA000, 0x500, 0xA000, true},
        {"Ky comes", 252, 0x300, 0xB000, 0x300, 0xB000, false},
    };
    PairWatch watch{{0, 0}, {0, 0}, 0};
    for (const Look &look : looks) {
        watchPair(watch, look.Ku, look.Ky, look.ms * MS);
        EXPECT_EQ(watch.applied.Ku, look.appliedKu) << look.what;
        EXPECT_EQ(watch.applied.Ky, look.appliedKy) << look.what;
        EXPECT_EQ(pairHeld(watch), look.held) << look.what;
    }
}
