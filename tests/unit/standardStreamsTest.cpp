// Standard streams closed when a program starts, standard error too: each
// is opened on /dev/null the right way round, so that the next file opened
// (the memory device, a stand-in) is never one of them.
#include "standardStreams.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The exit status of a child that closes `closed` and guards: 0 if all is well.
int guardWithClosed(const std::vector<int> &closed)
{
    pid_t child = fork();
    if (child == 0) {
        for (int stream : closed)
            close(stream);
        bool ok = guardStandardStreams();
        for (int stream : closed) {
            int flags = fcntl(stream, F_GETFL);
            ok = ok && flags != -1 && (flags & O_ACCMODE) == (stream == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        }
        _exit(ok && open("/dev/null", O_RDONLY) > STDERR_FILENO ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    return status;
}

TEST(standardStreams, closedStreamsAreOpenedOnDevNull)
{
    for (const std::vector<int> &closed : {std::vector<int>{0}, {1}, {2}, {1, 2}, {0, 1, 2}})
        EXPECT_EQ(guardWithClosed(closed), 0) << closed.size() << " closed, the last " << closed.back();
}

} // namespace
