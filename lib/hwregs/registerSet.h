// The five registers of the design and the words that say what the core is,
// wherever they are mapped, and one sample of the five registers.
#pragma once

#include "hwregs.h"

#include <cstdint>

struct RegisterSet {
    volatile uint32_t *led;
    volatile uint32_t *u;
    volatile uint32_t *Ku;
    volatile uint32_t *Ky;
    volatile uint32_t *y;
    volatile uint32_t *identity;
    volatile uint32_t *clockHz;
    volatile uint32_t *sampleCount;
    volatile uint32_t *status;
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
