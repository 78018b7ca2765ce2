// Prints the word indices of the register map, the identity word and the
// pair's hold time as Yosys parameter settings, so that the bus proof
// drives the design at the addresses the tools use and holds it to their
// constants.
#include "hwregs.h"

#include <cstdio>

int main()
{
    std::printf("-set LED_WORD %u -set U_WORD %u -set KU_WORD %u -set KY_WORD %u -set Y_WORD %u", LED_BASE / 4,
                LPF_U_BASE / 4, LPF_KU_BASE / 4, LPF_KY_BASE / 4, LPF_Y_BASE / 4);
    std::printf(" -set IDENTITY_WORD %u -set CLOCK_HZ_WORD %u -set SAMPLE_COUNT_WORD %u -set STATUS_WORD %u",
                LPF_IDENTITY_BASE / 4, LPF_CLOCK_HZ_BASE / 4, LPF_SAMPLE_COUNT_BASE / 4, LPF_STATUS_BASE / 4);
    std::printf(" -set IDENTITY %u -set PAIR_HOLD_SAMPLES %u\n", LPF_IDENTITY, LPF_PAIR_HOLD_SAMPLES);
    return 0;
}
