// Writing whole through an output that takes a few bytes a call, is
// interrupted, and fills up or fails: every byte goes out once, in order.
#include "writeAll.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

TEST(writeAll, resumesWhereAPartialWriteStopped)
{
    const std::string text = "time_s,led,u,ku,ky,y,u_pu,y_pu\n0.000000,5,0,0,0,0,0.000000,0.000000\n";
    const struct {
        size_t chunk; // bytes taken a call, at most
        size_t room;  // then it takes nothing more (a full file) or fails with `error`
        int error;
    } cases[] = {{1, 1000, 0}, {7, 1000, 0}, {3, 40, 0}, {3, 40, EIO}};
    for (const auto &c : cases) {
        std::string out;
        int calls = 0;
        auto writeSome = [&](const char *from, size_t length) -> ssize_t {
            bool interrupted = calls++ % 2 == 0; // every other call
            if (interrupted || (out.size() == c.room && c.error != 0)) {
                errno = interrupted ? EINTR : c.error;
                return -1;
            }
            size_t taken = std::min({length, c.chunk, c.room - out.size()});
            out.append(from, taken);
            return static_cast<ssize_t>(taken);
        };
        size_t written = 0;
        bool whole = writeAllWith(writeSome, text.data(), text.size(), &written);
        SCOPED_TRACE(testing::Message() << c.chunk << " bytes a call, room for " << c.room);
        EXPECT_EQ(out, text.substr(0, c.room));
        EXPECT_EQ(written, out.size());
        EXPECT_EQ(whole, c.room >= text.size());
        if (!whole) {
            EXPECT_EQ(errno, c.error != 0 ? c.error : ENOSPC);
        }
    }
}

} // namespace
