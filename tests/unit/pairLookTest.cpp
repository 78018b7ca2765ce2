// lpfboard's look at the coefficient registers, with the console's two
// stores (Ku, then Ky) falling anywhere between its loads: the filter runs
// on the old pair or the new one, never on a mix.
#include "pairLook.h"

#include <gtest/gtest.h>

namespace {

constexpr CoefficientPair OLD{0x10000000u, 0xE0000000u};
constexpr CoefficientPair NEW{0x00000016u, 0xFFFFFFD3u}; // F 10
constexpr int64_t MS = 1000000;

bool operator==(const CoefficientPair &a, const CoefficientPair &b)
{
    return a.Ku == b.Ku && a.Ky == b.Ky;
}

TEST(pairLook, neverAMixedPair)
{
    uint32_t page[LPF_Y_BASE / 4 + 1] = {};
    RegisterSet registers = slaveRegisters(page);
    // The console's stores made before the look's first and second load.
    for (int beforeFirst = 0; beforeFirst <= 2; ++beforeFirst) {
        for (int beforeSecond = beforeFirst; beforeSecond <= 2; ++beforeSecond) {
            *registers.Ku = OLD.Ku;
            *registers.Ky = OLD.Ky;
            int storesMade = 0;
            auto storeUpTo = [&](int stores) {
                for (; storesMade < stores; ++storesMade)
                    *(storesMade == 0 ? registers.Ku : registers.Ky) = storesMade == 0 ? NEW.Ku : NEW.Ky;
            };
            int loads = 0;
            auto racing = [&](const volatile uint32_t *reg) {
                storeUpTo(loads++ == 0 ? beforeFirst : beforeSecond);
                return *reg;
            };
            PairWatch watch{OLD, OLD, 0};
            CoefficientPair seen = lookAtPair(registers, racing);
            watchPair(watch, seen.Ku, seen.Ky, MS);
            SCOPED_TRACE(testing::Message() << beforeFirst << " stores before the first load, " << beforeSecond
                                            << " before the second");
            EXPECT_TRUE(watch.applied == OLD || watch.applied == NEW);
            storeUpTo(2);
            seen = lookAtPair(registers);
            watchPair(watch, seen.Ku, seen.Ky, 2 * MS);
            EXPECT_TRUE(watch.applied == NEW);
        }
    }
}

} // namespace
