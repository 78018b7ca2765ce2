#include "memoryDevice.h"
#include "standardStreams.h"

#include <fcntl.h>

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
