// How lpfboard and lpfscope speak on standard error at run time: one line,
// "PROGRAM: MESSAGE", then ": REASON" where there is a reason (the system's,
// from strerror, or a refusal of the tool's own). lpfconsole and ledset keep
// their own lines, on standard output, as their users know them.
#pragma once

// Prints the line whose message `format` makes, printf-style; `reason`
// nullptr for none.
void say(const char *program, const char *reason, const char *format, ...) __attribute__((format(printf, 3, 4)));
