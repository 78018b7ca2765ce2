// What the console's command units share: the filter register pointers and
// the reading of typed values.
#pragma once

#include <cstdint>

extern volatile uint32_t *LPf_Ku;
extern volatile uint32_t *LPf_Ky;
extern volatile uint32_t *LPf_u;
extern volatile uint32_t *LPf_y;

// Reads one blank-delimited value token of at most 20 characters into the
// shared token buffer and gives it; nullptr once standard input has ended.
// The caller has printed its prompt.
const char *readToken();

// Each command gives false when standard input ended while it awaited its
// value: it then touched no register and the console ends.
bool ledCommand();
