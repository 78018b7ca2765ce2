#pragma once

#include <cstdint>

// atoi with a defined result for every input: leading white space, an
// optional sign, decimal digits up to the first other character, 0 when there
// are none; values beyond the 32-bit range give the nearest bound.
int32_t decimalToInt32(const char *text);
