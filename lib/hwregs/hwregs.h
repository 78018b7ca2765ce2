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

// Words that say what the core is, read-only and free of side effects like
// every load; lpfconsole and ledset never touch them. They sit at the top of
// the core's 0x80 bytes, clear of the five registers' 0x10 spacing.
constexpr uint32_t LPF_IDENTITY_BASE = 0x70u;     // LPF_IDENTITY
constexpr uint32_t LPF_CLOCK_HZ_BASE = 0x74u;     // the clock the core was built for, in Hz
constexpr uint32_t LPF_SAMPLE_COUNT_BASE = 0x78u; // one count per sample, wrapping at 2^32
constexpr uint32_t LPF_STATUS_BASE = 0x7Cu;       // LPF_STATUS_PAIR_HELD

// The clock the core is built for unless its integration sets another
// (rtl/lpf_system.v's CLOCK_HZ), and so the one the simulated board reports.
constexpr uint32_t LPF_CLOCK_HZ_DEFAULT = 50000000u;

// The identity word: "LPf" in ASCII in the top three bytes, the core's
// version in the lowest.
constexpr uint32_t LPF_IDENTITY_NAME = 0x4C506600u;
constexpr uint32_t LPF_IDENTITY_NAME_MASK = 0xFFFFFF00u;
constexpr uint32_t LPF_IDENTITY_VERSION = 1u;
constexpr uint32_t LPF_IDENTITY = LPF_IDENTITY_NAME | LPF_IDENTITY_VERSION;

// Status bit: a Ku or Ky stored but not yet in use (waiting for a store to
// Ky's top byte lane, or for the hold time to run out).
constexpr uint32_t LPF_STATUS_PAIR_HELD = 0x1u;

// How long, in samples, a held store waits after the last store to Ku or Ky
// before the pair becomes the last Ku and Ky stored.
constexpr uint32_t LPF_PAIR_HOLD_SAMPLES = 1000000u; // 100 ms

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
