#include "controlLine.h"

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// A decimal number in [0, limit], followed by a space or the line's end.
static bool parseNumber(const char *&text, int limit, int &value)
{
    if (*text < '0' || *text > '9')
        return false;
    long long number = 0;
    while (*text >= '0' && *text <= '9') {
        number = number * 10 + (*text++ - '0');
        if (number > limit)
            return false;
    }
    if (*text == ' ')
        ++text;
    else if (*text != '\0')
        return false;
    value = static_cast<int>(number);
    return true;
}

ControlMessage parseControlLine(const char *line)
{
    const ControlMessage unknown{ControlKind::Unknown, 0, 0};
    ControlMessage message = unknown;
    const char *rest = nullptr;
    if (strncmp(line, "signal ", 7) == 0) {
        rest = line + 7;
        message.kind = ControlKind::Signal;
        if (!parseNumber(rest, 64, message.first) || message.first == 0)
            return unknown;
    } else if (strncmp(line, "size ", 5) == 0) {
        rest = line + 5;
        message.kind = ControlKind::Size;
        if (!parseNumber(rest, USHRT_MAX, message.first) || !parseNumber(rest, USHRT_MAX, message.second))
            return unknown;
    } else {
        return unknown;
    }
    return *rest == '\0' ? message : unknown;
}

size_t formatExitRecord(char *buffer, size_t size, int status, uint64_t outBytes, uint64_t errBytes)
{
    int length = snprintf(buffer, size, "exit %d %" PRIu64 " %" PRIu64 "\n", status, outBytes, errBytes);
    return length < 0 ? 0 : static_cast<size_t>(length);
}
