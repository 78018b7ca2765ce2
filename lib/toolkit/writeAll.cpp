#include "writeAll.h"

#include <cerrno>
#include <unistd.h>

bool writeAll(int descriptor, const char *text, size_t length)
{
    while (length > 0) {
        ssize_t written = write(descriptor, text, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        text += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}
