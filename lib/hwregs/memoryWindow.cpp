#include "memoryWindow.h"
#include "memoryDevice.h"
#include "physicalMemoryFile.h"
#include "standardStreams.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// A regular file (a stand-in) that ends inside the window, or whose register
// page cannot be given storage (a full file system), would map fine and then
// kill the program with SIGBUS at the first register access. A device has
// neither problem.
static bool canBack(int descriptor, bool writable, const PhysicalMemoryFile &layout)
{
    struct stat status {};
    if (fstat(descriptor, &status) != 0)
        return false;
    if (!S_ISREG(status.st_mode))
        return true;
    if (status.st_size < layout.size) {
        errno = ENXIO; // as the device answers for a range it does not have
        return false;
    }
    // Reading a hole needs no storage.
    if (!writable)
        return true;
    return backRegisterPage(descriptor, layout.registers);
}

// The window of an open device or file laid out as `layout`; after a failed
// mapping the descriptor is closed.
static WindowStatus mapOpened(RegisterWindow &window, bool writable, const PhysicalMemoryFile &layout,
                              WindowStatus status)
{
    if (window.descriptor == -1) {
        status.fault = WindowFault::Open;
        status.error = errno;
        return status;
    }
    window.base = MAP_FAILED;
    if (canBack(window.descriptor, writable, layout))
        window.base = mmap(nullptr, HW_REGS_SPAN, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                           window.descriptor, layout.window);
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
    return mapOpened(window, writable, STAND_IN, status);
}

WindowStatus mapWindowFile(RegisterWindow &window, const char *path, WindowAccess access)
{
    WindowStatus status{WindowFault::None, 0, nullptr};
    bool writable = access == WindowAccess::ReadWrite;
    window.descriptor = -1;
    if (guardStandardStreams())
        window.descriptor = openStandIn(path, accessFlags(writable), &status.refusal);
    // Any other file would be read as registers: a typo must not look like a
    // board with every register 0.
    if (window.descriptor != -1) {
        status.refusal = markRefusal(window.descriptor, WINDOW_FILE);
        if (status.refusal != nullptr) {
            close(window.descriptor);
            window.descriptor = -1;
            errno = EACCES;
        }
    }
    return mapOpened(window, writable, WINDOW_FILE, status);
}

bool unmapMemoryWindow(const RegisterWindow &window)
{
    return munmap(window.base, HW_REGS_SPAN) == 0;
}
