#include "standardStreams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool guardStandardStreams()
{
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
        if (fcntl(stream, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lower descriptors are open, so this one is the lowest free.
        int null = open("/dev/null", stream == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null != stream) {
            if (null != -1)
                close(null);
            return false;
        }
    }
    return true;
}
