#include "writeAll.h"

#include <cerrno>
#include <unistd.h>

bool writeAll(int descriptor, const char *text, size_t length, size_t *written)
{
    size_t done = 0;
    bool whole = true;
    while (done < length) {
        ssize_t result = write(descriptor, text + done, length - done);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0) {
            if (result == 0)
                errno = ENOSPC; // a regular file that takes nothing more is full
            whole = false;
            break;
        }
        done += static_cast<size_t>(result);
    }
    if (written != nullptr)
        *written = done;
    return whole;
}
