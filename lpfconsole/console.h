// What the console's command units share: the filter register pointers and
// the reading of typed values.
#pragma once

#include <cstdint>

extern volatile uint32_t *LPf_Ku;
extern volatile uint32_t *LPf_Ky;
extern volatile uint32_t *LPf_u;
extern volatile uint32_t *LPf_y;

// Prints the prompt and reads the value typed after it. At end of input it
// ends the prompt's line and gives nullptr: the command is then abandoned.
const char *promptValue(const char *prompt);

// Each command that takes a value gives false when standard input ended
// before the value: it then touched no register and the console ends.
bool ledCommand();
bool filterCoefficientCommand();
bool filterInputCommand();
void filterReadbackCommand();
