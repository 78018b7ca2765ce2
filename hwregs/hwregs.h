// Register window shared by lpfconsole and ledset: the physical address map
// of the FPGA design and the mapping of the slice of physical memory that
// holds it.
#pragma once

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

// Offset of the LED register from the start of the mapped window.
constexpr uint32_t HW_REGS_LED_OFST = (ALT_LWFPGASLVS_OFST + LED_BASE) & HW_REGS_MASK;

// Exit statuses of both programs.
constexpr int EXIT_STATUS_OK = 0;
constexpr int EXIT_STATUS_FAILURE = 1;

struct RegisterWindow {
    int descriptor;
    void *base;
};

// The LED register; set by openRegisterWindow, valid until closeRegisterWindow.
extern volatile uint32_t *h2p_lw_led_addr;

// Address of the register at `offset` from ALT_LWFPGASLVS_OFST in a mapped window.
volatile uint32_t *lightweightRegister(const RegisterWindow &window, uint32_t offset);

// Maps the window of the open memory device, readable, and writable if asked;
// MAP_FAILED (errno set) if that fails or a stand-in could not back it.
void *mapWindow(int descriptor, bool writable);

// Prints the address banner, opens the memory device and maps the window.
// On failure it has printed why and released what it took; the caller then
// exits with EXIT_STATUS_FAILURE.
bool openRegisterWindow(RegisterWindow &window);

// Unmaps the window and closes the device; gives the exit status.
int closeRegisterWindow(const RegisterWindow &window);
