// The five registers of the design, wherever they are mapped, and one sample
// of all five.
#pragma once

#include "hwregs.h"

#include <cstdint>

struct RegisterSet {
    volatile uint32_t *led;
    volatile uint32_t *u;
    volatile uint32_t *Ku;
    volatile uint32_t *Ky;
    volatile uint32_t *y;
};

struct RegisterSample {
    uint32_t led;
    int32_t u;
    uint32_t Ku;
    uint32_t Ky;
    int32_t y;
};

// The registers of the slaves whose window starts at `slaves` (where
// ALT_LWFPGASLVS_OFST is mapped).
RegisterSet slaveRegisters(void *slaves);

// The registers in a mapped register window.
RegisterSet windowRegisters(const RegisterWindow &window);

// Loads each register once, in register order.
RegisterSample loadRegisters(const RegisterSet &registers);
