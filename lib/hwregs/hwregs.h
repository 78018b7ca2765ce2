// The physical address map of the FPGA design and the register window, for
// every program that reaches the registers; openRegisterWindow and
// closeRegisterWindow, with the address banner and its error lines, are the
// way lpfconsole and ledset map it.
#pragma once

#include "exitStatus.h"

#include <cstdint>

// Physical start of the mapped window: the top 64 MiB of the address space,
// where the peripherals and the lightweight processor-to-FPGA bridge lie.
constexpr uint32_t ALT_STM_OFST = 0xFC000000u;
constexpr uint32_t HW_REGS_SPAN = 0x04000000u;
constexpr uint32_t HW_REGS_MASK = HW_REGS_SPAN - 1u;

// Physical base of the lightweight FPGA slaves.
constexpr uint32_t ALT_LWFPGASLVS_OFST = 0xFF200000u;

// Offsets of the design's registers from ALT_LWFPGASLVS_OFST.
constexpr uint32_t LED_BASE = 0x00u;
constexpr uint32_t LPF_U_BASE = 0x10u;
constexpr uint32_t LPF_KU_BASE = 0x20u;
constexpr uint32_t LPF_KY_BASE = 0x30u;
constexpr uint32_t LPF_Y_BASE = 0x40u;

// Offset of the lightweight FPGA slaves from the start of the mapped window.
constexpr uint32_t HW_REGS_LWFPGASLVS_BASE = ALT_LWFPGASLVS_OFST & HW_REGS_MASK;

struct RegisterWindow {
    int descriptor;
    void *base;
};

// The LED register; set by openRegisterWindow, valid until closeRegisterWindow.
extern volatile uint32_t *h2p_lw_led_addr;

// Prints the address banner, opens the memory device and maps the window.
// On failure it has printed why and released what it took; the caller then
// exits with EXIT_STATUS_FAILURE.
bool openRegisterWindow(RegisterWindow &window);

// Unmaps the window and closes the device; gives the exit status.
int closeRegisterWindow(const RegisterWindow &window);
