#include "console.h"
#include "decimal.h"
#include "hwregs.h"

#include <cstdio>

bool ledCommand()
{
    const char *value = promptValue("LED value = ");
    if (value == nullptr)
        return false;
    int32_t pattern = decimalToInt32(value);
    printf("\tWrite LED = %i\n", pattern);
    fflush(stdout); // the report is out before the store, even if the store faults
    *h2p_lw_led_addr = static_cast<uint32_t>(pattern);
    return true;
}
