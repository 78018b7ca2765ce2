// What lpfscope says of the core: its identity, and the sample rate measured
// from its counter, judged against the 10 MHz it was built for.
#include "coreCheck.h"
#include "hwregs.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

TEST(CoreCheck, identity)
{
    const struct {
        uint32_t word;
        const char *said;
    } cases[] = {
        {LPF_IDENTITY, "LPf core version 1, built for 50.000 MHz"},
        {LPF_IDENTITY_NAME | 2u, "LPf core version 2 (lpfscope knows version 1), built for 50.000 MHz"},
        {0, "no LPf core answers at 0xFF200000 (its identity word reads 0x00000000)"},
        {0x4C506701, "no LPf core answers at 0xFF200000 (its identity word reads 0x4C506701)"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(identityText(CoreIdentity{c.word, 50000000}), c.said);
}

// A counter running `factor` times 10 MHz, read at 1000 samples a second
// from `start`, over `seconds`; every read `gapEvery` comes after a stop of
// `gapNs` instead.
SampleRateMeter measure(double factor, uint32_t start, double seconds, int gapEvery = 0, int64_t gapNs = 0)
{
    SampleRateMeter meter;
    int64_t t = 0;
    uint64_t count = start;
    for (int i = 0; i < static_cast<int>(seconds * 1000); ++i) {
        int64_t step = gapEvery > 0 && i % gapEvery == gapEvery - 1 ? gapNs : 1000000;
        t += step;
        count += static_cast<uint64_t>(std::llround(static_cast<double>(step) / 100.0 * factor));
        meter.add(t, static_cast<uint32_t>(count));
    }
    return meter;
}

TEST(CoreCheck, rateAndVerdict)
{
    const CoreIdentity core{LPF_IDENTITY, 50000000};
    const struct {
        const char *what;
        SampleRateMeter meter;
        RateVerdict verdict;
        double factor;
    } cases[] = {
        {"right", measure(1.0, 0, 2.0), RateVerdict::Right, 1.0},
        {"wrapping at 2^32 on the way", measure(1.0, 0xFFF00000u, 2.0), RateVerdict::Right, 1.0},
        {"0.5% fast is within", measure(1.005, 7, 2.0), RateVerdict::Right, 1.005},
        {"2% fast", measure(1.02, 0xFFFFFF00u, 2.0), RateVerdict::Off, 1.02},
        {"2% slow", measure(0.98, 0, 2.0), RateVerdict::Off, 0.98},
        {"less than a second", measure(1.02, 0, 0.99), RateVerdict::NotMeasured, 0.0},
        // Stopped 500 s, long enough to wrap, every 500th read: those gaps do not count.
        {"stops past a wrap", measure(1.0, 0, 3.0, 500, 500000000000), RateVerdict::Right, 1.0},
        {"a counter that does not move", measure(0.0, 42, 2.0), RateVerdict::Stopped, 0.0},
    };
    for (const auto &c : cases) {
        RateCheck check = checkRate(core, c.meter);
        EXPECT_EQ(check.verdict, c.verdict) << c.what;
        EXPECT_NEAR(check.factor, c.factor, 1e-4) << c.what;
        EXPECT_EQ(rateWarning(core, check).empty(), c.verdict != RateVerdict::Off) << c.what;
        // The view's line fits an 80-column terminal, warning and all.
        EXPECT_LE(coreViewLine(core, check).size(), 78u) << c.what;
    }
    EXPECT_EQ(checkRate(CoreIdentity{0, 0}, measure(1.0, 0, 2.0)).verdict, RateVerdict::NotMeasured);
}

} // namespace
