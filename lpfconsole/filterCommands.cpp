// The commands that work the LPf filter core.
#include "console.h"
#include "filterEncoding.h"
#include "hwregs.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

struct RegisterStore {
    volatile uint32_t *reg;
    uint32_t value;
};

// Every filter write flips all LEDs once, so the user sees it land. The
// pattern is loaded afresh: ledset may have changed it in the meantime. The
// report is out before the first access, even if that access faults.
static void acknowledgedWrite(std::initializer_list<RegisterStore> stores)
{
    fflush(stdout);
    uint32_t acknowledge = ~*h2p_lw_led_addr;
    for (const RegisterStore &store : stores)
        *store.reg = store.value;
    *h2p_lw_led_addr = acknowledge;
}

bool filterCoefficientCommand()
{
    const char *value = promptValue("Filter Time constant = ");
    if (value == nullptr)
        return false;
    FilterCoefficients coefficients = filterCoefficients(strtod(value, nullptr));
    printf("\tWrite\tKu = %8X\n\t\tKy = %8X\n", coefficients.Ku, coefficients.Ky);
    acknowledgedWrite({{LPf_Ku, coefficients.Ku}, {LPf_Ky, coefficients.Ky}});
    return true;
}

bool filterInputCommand()
{
    const char *value = promptValue("Input Filter (float per-unit) = ");
    if (value == nullptr)
        return false;
    FilterInput input = encodeFilterInput(strtod(value, nullptr));
    printf("\tWrite U = %.3f [%i]\n", input.value, input.raw);
    acknowledgedWrite({{LPf_u, static_cast<uint32_t>(input.raw)}});
    return true;
}

void filterReadbackCommand()
{
    uint32_t ku = *LPf_Ku;
    uint32_t ky = *LPf_Ky;
    auto y = static_cast<int32_t>(*LPf_y);
    printf("Ku Filt = %f\nKy Filt = %f\nOutput filter: %f\n", decodeCoefficient(ku), decodeCoefficient(ky),
           decodeFilterOutput(y));
}
