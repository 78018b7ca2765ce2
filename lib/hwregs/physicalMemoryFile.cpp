#include "physicalMemoryFile.h"

#include <cstring>
#include <unistd.h>

const char *markRefusal(int descriptor, const PhysicalMemoryFile &layout)
{
    size_t length = strlen(layout.mark);
    char start[32];
    if (length <= sizeof start && pread(descriptor, start, length, 0) == static_cast<ssize_t>(length) &&
        memcmp(start, layout.mark, length) == 0)
        return nullptr;
    return layout.unmarked;
}
