// How lpfboard pairs Ku with Ky, look by look: a row is one look at the
// registers and the pair the filter runs on after it.
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
    };
    const Look looks[] = {
        {"power-on", 0, 0, 0, 0, 0},
        {"Ku alone is held", 1, 0x100, 0, 0, 0},
        {"Ky brings it", 2, 0x100, 0xE000, 0x100, 0xE000},
        {"both in one look", 3, 0x200, 0xF000, 0x200, 0xF000},
        {"Ku alone again", 4, 0x300, 0xF000, 0x200, 0xF000},
        {"still held", 4 + 99, 0x300, 0xF000, 0x200, 0xF000},
        {"unchanged long enough: Ky was stored equal", 4 + 100, 0x300, 0xF000, 0x300, 0xF000},
        {"Ky alone keeps the Ku", 105, 0x300, 0xA000, 0x300, 0xA000},
        {"Ku held", 106, 0x400, 0xA000, 0x300, 0xA000},
        {"Ku changes again: the wait starts over", 150, 0x500, 0xA000, 0x300, 0xA000},
        {"not long enough since", 150 + 99, 0x500, 0xA000, 0x300, 0xA000},
        {"long enough", 150 + 100, 0x500, 0xA000, 0x500, 0xA000},
        {"Ku back to the applied one", 251, 0x300, 0xA000, 0x500, 0xA000},
        {"Ky comes", 252, 0x300, 0xB000, 0x300, 0xB000},
    };
    PairWatch watch{{0, 0}, {0, 0}, 0};
    for (const Look &look : looks) {
        watchPair(watch, look.Ku, look.Ky, look.ms * MS);
        EXPECT_EQ(watch.applied.Ku, look.appliedKu) << look.what;
        EXPECT_EQ(watch.applied.Ky, look.appliedKy) << look.what;
    }
}
