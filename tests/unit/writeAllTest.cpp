// Writing whole through outputs that take a few bytes at a time, are
// interrupted, fill up or fail: every byte goes out once, in order, and the
// count says how many did.
#include "writeAll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

// An output that takes at most `chunk` bytes a call, is interrupted before
// every other call with `interrupted`, and after `room` bytes takes nothing
// more (0, as a full file) or fails with `error`.
struct Output {
    size_t chunk;
    bool interrupted;
    size_t room;
    int error; // 0: a full file
    std::string received;
    int calls = 0;

    ssize_t operator()(const char *text, size_t length)
    {
        if (interrupted && calls++ % 2 == 0) {
            errno = EINTR;
            return -1;
        }
        size_t left = room - received.size();
        if (left == 0 && error != 0) {
            errno = error;
            return -1;
        }
        size_t taken = std::min({length, chunk, left});
        received.append(text, taken);
        return static_cast<ssize_t>(taken);
    }
};

TEST(writeAll, everyByteOnceInOrder)
{
    const std::string text = "time_s,led,u,ku,ky,y,u_pu,y_pu\n0.000000,5,0,0,0,0,0.000000,0.000000\n";
    const struct {
        const char *what;
        size_t chunk;
        bool interrupted;
        size_t room;
        int error;
        bool whole;
        int errorAfter;
    } cases[] = {
        {"all at once", 1000, false, 1000, 0, true, 0},
        {"a byte at a time", 1, false, 1000, 0, true, 0},
        {"seven bytes at a time", 7, false, 1000, 0, true, 0},
        {"interrupted before every other write", 5, true, 1000, 0, true, 0},
        {"full after 40 bytes", 3, false, 40, 0, false, ENOSPC},
        {"failing after 40 bytes", 3, true, 40, EIO, false, EIO},
        {"full at once", 3, false, 0, 0, false, ENOSPC},
    };
    for (const auto &c : cases) {
        Output output{c.chunk, c.interrupted, c.room, c.error, {}};
        size_t written = 0;
        errno = 0;
        bool whole = writeAllWith(output, text.data(), text.size(), &written);
        EXPECT_EQ(whole, c.whole) << c.what;
        EXPECT_EQ(output.received, text.substr(0, std::min(text.size(), c.room))) << c.what;
        EXPECT_EQ(written, output.received.size()) << c.what;
        if (!c.whole) {
            EXPECT_EQ(errno, c.errorAfter) << c.what;
        }
    }
}

} // namespace
