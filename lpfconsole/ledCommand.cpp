#include "console.h"
#include "decimal.h"
#include "hwregs.h"

#include <cstdio>

bool ledCommand()
{
    printf("LED value = ");
    const char *value = readToken();
    if (value == nullptr) {
        // Leave the shell's prompt on a line of its own.
        printf("\n");
        return false;
    }
    int32_t pattern = decimalToInt32(value);
    printf("\tWrite LED = %i\n", pattern);
    *h2p_lw_led_addr = static_cast<uint32_t>(pattern);
    return true;
}
