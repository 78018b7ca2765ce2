// lpfboard's look at the coefficients, with the console's two stores (Ku,
// then Ky) falling anywhere between its two loads: the filter runs on the
// old pair or the new one, never on a mix.
#include "pairLook.h"

#include <gtest/gtest.h>

namespace {

constexpr CoefficientPair OLD{0x10000000u, 0xE0000000u};
constexpr CoefficientPair NEW{0x00000016u, 0xFFFFFFD3u}; // F 10

bool isPair(const CoefficientPair &applied, const CoefficientPair &pair)
{
    return applied.Ku == pair.Ku && applied.Ky == pair.Ky;
}

TEST(pairLook, neverAMixedPair)
{
    uint32_t page[LPF_Y_BASE / 4 + 1] = {};
    RegisterSet registers = slaveRegisters(page);
    // How many of the console's stores come before the first and the second load.
    for (int beforeFirst = 0; beforeFirst <= 2; ++beforeFirst) {
        for (int beforeSecond = beforeFirst; beforeSecond <= 2; ++beforeSecond) {
            *registers.Ku = OLD.Ku;
            *registers.Ky = OLD.Ky;
            int loads = 0;
            auto racing = [&](const volatile uint32_t *reg) {
                int stores = loads++ == 0 ? beforeFirst : beforeSecond;
                if (stores >= 1)
                    *registers.Ku = NEW.Ku;
                if (stores == 2)
                    *registers.Ky = NEW.Ky;
                return *reg;
            };
            PairWatch watch{OLD, OLD, 0};
            CoefficientPair seen = lookAtPair(registers, racing);
            watchPair(watch, seen.Ku, seen.Ky, 1);
            EXPECT_TRUE(isPair(watch.applied, OLD) || isPair(watch.applied, NEW)) << beforeFirst << beforeSecond;
        }
    }
}

} // namespace
