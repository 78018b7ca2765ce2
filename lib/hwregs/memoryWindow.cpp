#include "memoryWindow.h"
#include "memoryDevice.h"
#include "standardStreams.h"

#include <cerrno>
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

// A regular file (a stand-in) that ends inside the window, or whose register
// page cannot be given storage (a full file system), would map fine and then
// kill the program with SIGBUS at the first register access. A device has
// neither problem.
static bool canBack(int descriptor, bool writable, off_t windowOffset)
{
    struct stat status {};
    if (fstat(descriptor, &status) != 0)
        return false;
    if (!S_ISREG(status.st_mode))
        return true;
    if (status.st_size < windowOffset + static_cast<off_t>(HW_REGS_SPAN)) {
        errno = ENXIO; // as the device answers for a range it does not have
        return false;
    }
    // Reading a hole needs no storage.
    if (!writable)
        return true;
    return backRegisterPage(descriptor, windowOffset + HW_REGS_LWFPGASLVS_BASE);
}

// The window of an open device or file, where it starts at `windowOffset`;
// after a failed mapping the descriptor is closed.
static WindowStatus mapOpened(RegisterWindow &window, bool writable, off_t windowOffset, WindowStatus status)
{
    if (window.descriptor == -1) {
        status.fault = WindowFault::Open;
        status.error = errno;
        return status;
    }
    window.base = MAP_FAILED;
    if (canBack(window.descriptor, writable, windowOffset))
        window.base = mmap(nullptr, HW_REGS_SPAN, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                           window.descriptor, windowOffset);
    if (window.base == MAP_FAILED) {
        status.fault = WindowFault::Map;
        status.error = errno;
        close(window.descriptor);
    }
    return status;
}

static int accessFlags(bool writable)
{
    return (writable ? O_RDWR : O_RDONLY) | O_SYNC;
}

WindowStatus mapMemoryWindow(RegisterWindow &window, WindowAccess access)
{
    WindowStatus status{WindowFault::None, 0, nullptr};
    bool writable = access == WindowAccess::ReadWrite;
    window.descriptor = openMemoryDevice(accessFlags(writable), &status.refusal);
    return mapOpened(window, writable, WINDOW_OFFSET, status);
}

WindowStatus mapWindowFile(RegisterWindow &window, const char *path, WindowAccess access)
{
    WindowStatus status{WindowFault::None, 0, nullptr};
    bool writable = access == WindowAccess::ReadWrite;
    window.descriptor = -1;
    if (guardStandardStreams())
        window.descriptor = openStandIn(path, accessFlags(writable), &status.refusal);
    return mapOpened(window, writable, 0, status);
}

bool unmapMemoryWindow(const RegisterWindow &window)
{
    return munmap(window.base, HW_REGS_SPAN) == 0;
}
