#include "registerSet.h"

static volatile uint32_t *registerAt(void *slaves, uint32_t offset)
{
    return reinterpret_cast<volatile uint32_t *>(static_cast<char *>(slaves) + offset);
}

RegisterSet slaveRegisters(void *slaves)
{
    return RegisterSet{registerAt(slaves, LED_BASE), registerAt(slaves, LPF_U_BASE), registerAt(slaves, LPF_KU_BASE),
                       registerAt(slaves, LPF_KY_BASE), registerAt(slaves, LPF_Y_BASE),
                       registerAt(slaves, LPF_IDENTITY_BASE), registerAt(slaves, LPF_CLOCK_HZ_BASE),
                       registerAt(slaves, LPF_SAMPLE_COUNT_BASE), registerAt(slaves, LPF_STATUS_BASE)};
}

RegisterSet windowRegisters(const RegisterWindow &window)
{
    return slaveRegisters(static_cast<char *>(window.base) + HW_REGS_LWFPGASLVS_BASE);
}

RegisterSample loadRegisters(const RegisterSet &registers)
{
    RegisterSample sample{};
    sample.led = *registers.led;
    sample.u = static_cast<int32_t>(*registers.u);
    sample.Ku = *registers.Ku;
    sample.Ky = *registers.Ky;
    sample.y = static_cast<int32_t>(*registers.y);
    return sample;
}
