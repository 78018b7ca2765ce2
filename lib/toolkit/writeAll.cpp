#include "writeAll.h"

#include <unistd.h>

bool writeAll(int descriptor, const char *text, size_t length, size_t *written)
{
    return writeAllWith([descriptor](const char *from, size_t count) { return write(descriptor, from, count); }, text,
                        length, written);
}
