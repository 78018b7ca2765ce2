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

// The value typed after the prompt, as atof reads it: text gives 0. False
// at end of input.
static bool promptNumber(const char *prompt, double &number)
{
    const char *value = promptValue(prompt);
    if (value != nullptr)
        number = strtod(value, nullptr);
    return value != nullptr;
}

bool filterCoefficientCommand()
{
    double tau = 0.0;
    if (!promptNumber("Filter Time constant = ", tau))
        return false;
    FilterCoefficients coefficients = filterCoefficients(tau);
    printf("\tWrite\tKu = %8X\n\t\tKy = %8X\n", coefficients.Ku, coefficients.Ky);
    acknowledgedWrite({{LPf_Ku, coefficients.Ku}, {LPf_Ky, coefficients.Ky}});
    return true;
}

bool filterInputCommand()
{
    double typed = 0.0;
    if (!promptNumber("Input Filter (float per-unit) = ", typed))
        return false;
    FilterInput input = encodeFilterInput(typed);
    auto word = static_cast<uint32_t>(input.raw); // two's complement, as the register holds it
    printf("\tWrite U = %.3f [%i]\n", input.value, input.raw);
    acknowledgedWrite({{LPf_u, word}});
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
