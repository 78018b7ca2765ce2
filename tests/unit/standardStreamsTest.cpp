// Standard streams closed when a program starts: each is given to
// /dev/null, the right way round, so that the next file opened (the memory
// device, a stand-in) is never one of them.
#include "standardStreams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

bool onDevNull(int stream, int access)
{
    struct stat null {};
    struct stat open {};
    int flags = fcntl(stream, F_GETFL);
    return flags != -1 && (flags & O_ACCMODE) == access && stat("/dev/null", &null) == 0 &&
           fstat(stream, &open) == 0 && open.st_rdev == null.st_rdev && S_ISCHR(open.st_mode);
}

// In a child, as the closed streams would be in a new program: the exit
// status has a bit for each stream that ends up wrong, and 8 if the guard
// failed or the next file opened took a standard stream.
int guardInChild(const std::vector<int> &closed)
{
    pid_t child = fork();
    if (child == 0) {
        for (int stream : closed)
            close(stream);
        int wrong = guardStandardStreams() ? 0 : 8;
        for (int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
            bool wasClosed = std::find(closed.begin(), closed.end(), stream) != closed.end();
            if (wasClosed && !onDevNull(stream, stream == STDIN_FILENO ? O_RDONLY : O_WRONLY))
                wrong |= 1 << stream;
        }
        int next = open("/dev/null", O_RDONLY);
        wrong |= next <= STDERR_FILENO ? 8 : 0;
        _exit(wrong);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(standardStreams, closedStreamsGoToDevNull)
{
    const std::vector<std::vector<int>> cases = {{}, {0}, {1}, {2}, {1, 2}, {0, 2}, {0, 1, 2}};
    for (const auto &closed : cases) {
        std::string which;
        for (int stream : closed)
            which += std::to_string(stream) + " ";
        EXPECT_EQ(guardInChild(closed), 0) << "closed: " << which;
    }
}

} // namespace
