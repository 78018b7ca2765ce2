#include "decimal.h"

#include <cstdlib>

int32_t decimalToInt32(const char *text)
{
    // strtoll already saturates at its own 64-bit range; narrow from there.
    long long value = strtoll(text, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}
