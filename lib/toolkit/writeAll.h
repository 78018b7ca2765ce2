// Writing a buffer out whole.
#pragma once

#include <cstddef>

// Writes all `length` bytes to `descriptor`, resuming after interruptions
// and partial writes; false (errno set) once the descriptor fails. With
// `written`, tells how many bytes went out, whole or not.
bool writeAll(int descriptor, const char *text, size_t length, size_t *written = nullptr);
