// The register window as lpfconsole and ledset announce it: the address
// banner first, then one ERROR line for whatever fails. The ERROR lines go to
// standard output, not standard error, because that is where the board's
// users and their scripts have always looked for them.
#include "hwregs.h"
#include "memoryDevice.h"
#include "memoryWindow.h"
#include "registerSet.h"

#include <cstdio>
#include <unistd.h>

volatile uint32_t *h2p_lw_led_addr = nullptr;

static void printBanner()
{
    printf("ALT_STM_OFST = 0x%8X\nALT_LWFPGASLVS_OFST = 0x%8X\nLED_BASE = 0x%0X\n"
           "(ALT_LWFPGASLVS_OFST + LED_BASE) & HW_REGS_MASK = 0x%08X\n\n",
           ALT_STM_OFST, ALT_LWFPGASLVS_OFST, LED_BASE, (ALT_LWFPGASLVS_OFST + LED_BASE) & HW_REGS_MASK);
}

bool openRegisterWindow(RegisterWindow &window)
{
    printBanner();
    WindowStatus status = mapMemoryWindow(window, WindowAccess::ReadWrite);
    if (status.fault == WindowFault::Open) {
        printf("ERROR: could not open \"%s\"...\n", memoryDevicePath());
        return false;
    }
    if (status.fault == WindowFault::Map) {
        printf("ERROR: mmap() failed...\n");
        return false;
    }
    h2p_lw_led_addr = windowRegisters(window).led;
    return true;
}

int closeRegisterWindow(const RegisterWindow &window)
{
    int status = EXIT_STATUS_OK;
    if (!unmapMemoryWindow(window)) {
        printf("ERROR: munmap() failed...\n");
        status = EXIT_STATUS_FAILURE;
    }
    close(window.descriptor);
    return status;
}
