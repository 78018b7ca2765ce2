// lpfboard's look at the coefficient registers. Ky is loaded before Ku: the
// console stores Ku, then Ky, so a Ky that is new to a look comes with its
// Ku. Loaded the other way round, a look between the two stores would take
// the new Ky with the old Ku, and the filter would run on a mixed pair.
#pragma once

#include "coefficientPairing.h"
#include "registerSet.h"

#include <cstdint>

struct LoadRegister {
    uint32_t operator()(const volatile uint32_t *reg) const { return *reg; }
};

// The pair as one look sees it; `load` loads one register (the tests give
// one that lets the console store between two loads).
template <typename Load = LoadRegister> CoefficientPair lookAtPair(const RegisterSet &registers, Load &&load = {})
{
    uint32_t Ky = load(registers.Ky);
    uint32_t Ku = load(registers.Ku);
    return CoefficientPair{Ku, Ky};
}
