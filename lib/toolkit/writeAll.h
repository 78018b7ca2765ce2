// Writing a buffer out whole.
#pragma once

#include <cstddef>

// Writes all `length` bytes to `descriptor`, resuming after interruptions
// and partial writes; false (errno set) once the descriptor fails.
bool writeAll(int descriptor, const char *text, size_t length);
