#include "memoryDevice.h"
#include "standardStreams.h"

#include <fcntl.h>
#include <sys/stat.h>

int openMemoryDevice(int flags, const char **refusal)
{
    *refusal = nullptr;
    if (!guardStandardStreams())
        return -1;
    int descriptor = -1;
    if (MEMORY_DEVICE_IS_STAND_IN) {
        descriptor = openStandIn(memoryDevicePath(), flags, refusal);
    } else {
        descriptor = open(memoryDevicePath(), flags | O_CLOEXEC);
    }
    // Guarded streams leave no lower descriptor free; never let stdio write
    // into physical memory all the same.
    if (descriptor >= 0 && descriptor <= STDERR_FILENO) {
        close(descriptor);
        return -1;
    }
    return descriptor;
}

bool pathNames(const char *path, int descriptor)
{
    struct stat named {};
    struct stat open {};
    return lstat(path, &named) == 0 && fstat(descriptor, &open) == 0 && named.st_dev == open.st_dev &&
           named.st_ino == open.st_ino;
}
