// Writing a buffer out whole.
#pragma once

#include <cerrno>
#include <cstddef>
#include <sys/types.h>

// Writes all `length` bytes to `descriptor`, resuming after interruptions
// and partial writes; false (errno set) once the descriptor fails. With
// `written`, tells how many bytes went out, whole or not.
bool writeAll(int descriptor, const char *text, size_t length, size_t *written = nullptr);

// The same through `writeSome(text, length)`, which does what write(2) does
// on some descriptor: takes some of the bytes and says how many, or fails
// with -1 and errno.
template <typename WriteSome>
bool writeAllWith(WriteSome &&writeSome, const char *text, size_t length, size_t *written = nullptr)
{
    size_t done = 0;
    bool whole = true;
    while (done < length) {
        ssize_t result = writeSome(text + done, length - done);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0) {
            if (result == 0)
                errno = ENOSPC; // a regular file that takes nothing more is full
            whole = false;
            break;
        }
        done += static_cast<size_t>(result);
    }
    if (written != nullptr)
        *written = done;
    return whole;
}
