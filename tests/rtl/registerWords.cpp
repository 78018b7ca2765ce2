// Prints the word indices of the register map as Yosys parameter settings,
// so that the bus proof drives the design at the addresses the tools use.
#include "hwregs.h"

#include <cstdio>

int main()
{
    std::printf("-set LED_WORD %u -set U_WORD %u -set KU_WORD %u -set KY_WORD %u -set Y_WORD %u\n", LED_BASE / 4,
                LPF_U_BASE / 4, LPF_KU_BASE / 4, LPF_KY_BASE / 4, LPF_Y_BASE / 4);
    return 0;
}
