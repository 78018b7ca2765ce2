// CSV rows of register samples on standard output, written whole: a row is
// complete in the buffer before any of it is written, the buffer is written
// with retries, and if the output fails part of the way through a row (a
// full disk), a regular file is cut back to its last whole row.
#pragma once

#include "registerSet.h"

#include <cstdint>

// False once standard output is closed or failing (a reader that went
// away, a full disk); errno tells why.
bool csvHeader();

// One row; `microseconds` from the first recorded sample (or the change),
// negative for history before it.
bool csvRow(int64_t microseconds, const RegisterSample &sample);

// Writes out what is buffered.
bool csvFlush();

// Rows that reached the output whole, so far: rows still in the buffer, or
// lost with a failing output, do not count.
uint64_t csvRowsWritten();
