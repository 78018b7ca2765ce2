// Test-only LD_PRELOAD library: sends the tools' open of the memory device to
// the stand-in file named by LPF_TEST_DEVICE, so that parallel tests each get
// their own board. It fails closed: with no file named, the device (and the
// real /dev/mem, whatever the build names) cannot be opened at all.
//
// LPF_TEST_FAIL_MUNMAP=1 makes the unmapping of the register window fail.
// LPF_TEST_RESET_DEVICE=1 clears the register page at each open, so that every
// run (every fuzzing input, say) starts from a board with all registers 0.
#undef _FILE_OFFSET_BITS

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "accessTracer.h"
#include "memoryDevice.h"
#include "physicalMemoryFile.h"

namespace {

bool enabled(const char *name)
{
    const char *value = getenv(name);
    return value != nullptr && strcmp(value, "1") == 0;
}

void clearRegisterPage(const char *standIn)
{
    static const char zeros[REGISTER_PAGE_SIZE] = {};
    int descriptor = static_cast<int>(syscall(SYS_openat, AT_FDCWD, standIn, O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (descriptor < 0)
        return;
    syscall(SYS_pwrite64, descriptor, zeros, sizeof zeros, STAND_IN_REGISTERS);
    close(descriptor);
}

bool isMemoryDevice(const char *path)
{
    return path != nullptr && (strcmp(path, memoryDevicePath()) == 0 || strcmp(path, "/dev/mem") == 0);
}

// The stand-in named by LPF_TEST_DEVICE for the memory device, else `path`.
const char *redirected(const char *path)
{
    const char *standIn = getenv("LPF_TEST_DEVICE");
    return isMemoryDevice(path) && standIn != nullptr && *standIn != '\0' ? standIn : path;
}

int openAt(int directory, const char *path, int flags, mode_t mode)
{
    if (isMemoryDevice(path)) {
        const char *standIn = getenv("LPF_TEST_DEVICE");
        if (standIn == nullptr || *standIn == '\0' || strcmp(standIn, "/dev/mem") == 0) {
            errno = EACCES;
            return -1;
        }
        if (enabled("LPF_TEST_RESET_DEVICE"))
            clearRegisterPage(standIn);
        return static_cast<int>(syscall(SYS_openat, directory, standIn, flags, mode));
    }
    return static_cast<int>(syscall(SYS_openat, directory, path, flags, mode));
}

// The mode argument exists only when the flags create a file.
mode_t modeArgument(int flags, va_list arguments)
{
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        return static_cast<mode_t>(va_arg(arguments, unsigned int));
    return 0;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openAt(AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openAt(AT_FDCWD, path, flags, mode);
}

int openat(int directory, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openAt(directory, path, flags, mode);
}

int openat64(int directory, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return openAt(directory, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    return openAt(AT_FDCWD, path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
    return openAt(AT_FDCWD, path, flags, 0);
}

int __openat_2(int directory, const char *path, int flags)
{
    return openAt(directory, path, flags, 0);
}

int __openat64_2(int directory, const char *path, int flags)
{
    return openAt(directory, path, flags, 0);
}

// A tool checks that the device's path still names the file it opened.
int lstat(const char *path, struct stat *status)
{
    return static_cast<int>(syscall(SYS_newfstatat, AT_FDCWD, redirected(path), status, AT_SYMLINK_NOFOLLOW));
}

int lstat64(const char *path, struct stat64 *status)
{
    return static_cast<int>(syscall(SYS_newfstatat, AT_FDCWD, redirected(path), status, AT_SYMLINK_NOFOLLOW));
}

int munmap(void *address, size_t length)
{
    if (length == HW_REGS_SPAN && enabled("LPF_TEST_FAIL_MUNMAP")) {
        errno = EINVAL;
        return -1;
    }
    traceWindowUnmapped(address, length);
    return static_cast<int>(syscall(SYS_munmap, address, length));
}

} // extern "C"
