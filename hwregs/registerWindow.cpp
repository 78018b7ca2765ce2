#include "hwregs.h"
#include "memoryDevice.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// A 32-bit off_t would turn ALT_STM_OFST into a negative offset, and a 4 GiB
// stand-in file could not even be opened on a 32-bit kernel.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

constexpr off_t WINDOW_OFFSET = static_cast<off_t>(ALT_STM_OFST);
constexpr off_t WINDOW_END = WINDOW_OFFSET + static_cast<off_t>(HW_REGS_SPAN);
static_assert(WINDOW_OFFSET > 0 && WINDOW_END == 0x100000000LL, "window offset must stay unsigned");

volatile uint32_t *h2p_lw_led_addr = nullptr;

volatile uint32_t *lightweightRegister(const RegisterWindow &window, uint32_t offset)
{
    return reinterpret_cast<volatile uint32_t *>(static_cast<char *>(window.base) + HW_REGS_LED_OFST + offset);
}

static void printBanner()
{
    printf("ALT_STM_OFST = 0x%8X\nALT_LWFPGASLVS_OFST = 0x%8X\nLED_BASE = 0x%0X\n"
           "(ALT_LWFPGASLVS_OFST + LED_BASE) & HW_REGS_MASK = 0x%08X\n\n",
           ALT_STM_OFST, ALT_LWFPGASLVS_OFST, LED_BASE, HW_REGS_LED_OFST);
}

// A regular file (a stand-in) that ends inside the window, or whose register
// page cannot be given storage (a full file system), would map fine and then
// kill the program with SIGBUS at the first register access. A device has
// neither problem.
static bool canBack(int descriptor, bool writable)
{
    struct stat status {};
    if (fstat(descriptor, &status) != 0)
        return false;
    if (!S_ISREG(status.st_mode))
        return true;
    if (status.st_size < WINDOW_END) {
        errno = ENXIO; // as the device answers for a range it does not have
        return false;
    }
    // Reading a hole needs no storage.
    if (!writable)
        return true;
    return backRegisterPage(descriptor);
}

void *mapWindow(int descriptor, bool writable)
{
    if (!canBack(descriptor, writable))
        return MAP_FAILED;
    return mmap(nullptr, HW_REGS_SPAN, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, descriptor,
                WINDOW_OFFSET);
}

bool openRegisterWindow(RegisterWindow &window)
{
    printBanner();

    const char *refusal = nullptr;
    window.descriptor = openMemoryDevice(O_RDWR | O_SYNC, &refusal);
    if (window.descriptor == -1) {
        printf("ERROR: could not open \"%s\"...\n", memoryDevicePath());
        return false;
    }

    window.base = mapWindow(window.descriptor, true);
    if (window.base == MAP_FAILED) {
        printf("ERROR: mmap() failed...\n");
        close(window.descriptor);
        return false;
    }

    h2p_lw_led_addr = lightweightRegister(window, LED_BASE);
    return true;
}

int closeRegisterWindow(const RegisterWindow &window)
{
    int status = EXIT_STATUS_OK;
    if (munmap(window.base, HW_REGS_SPAN) != 0) {
        printf("ERROR: munmap() failed...\n");
        status = EXIT_STATUS_FAILURE;
    }
    close(window.descriptor);
    return status;
}
