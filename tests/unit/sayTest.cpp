// What lpfboard and lpfscope say on standard error: the program, the
// message made printf-style, whatever its length, and the reason if any.
#include "say.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(say, oneLine)
{
    const std::string longPath(300, 'p'); // longer than any fixed line buffer of the programs
    const struct {
        const char *reason;
        const char *path;
        std::string said;
    } cases[] = {
        {nullptr, "/b", "lpfboard: cannot open /b\n"},
        {"No such file or directory", "/b", "lpfboard: cannot open /b: No such file or directory\n"},
        {"Permission denied", longPath.c_str(), "lpfboard: cannot open " + longPath + ": Permission denied\n"},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStderr();
        say("lpfboard", c.reason, "cannot open %s", c.path);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said) << c.path;
    }
}

} // namespace
