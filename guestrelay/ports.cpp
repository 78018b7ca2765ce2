#include "ports.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>

int openPort(const char *path, int flags)
{
    const timespec pause{0, 10000000}; // 10 ms
    for (int waited = 0;; waited += 10) {
        int port = open(path, flags | O_CLOEXEC);
        // ENXIO: the node is there, the port not quite yet.
        if (port >= 0 || (errno != ENOENT && errno != ENXIO) || waited >= PORT_WAIT_MS)
            return port;
        nanosleep(&pause, nullptr);
    }
}
