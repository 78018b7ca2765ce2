#include "memoryDevice.h"
#include "hwregs.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

static const char *refusalOf(const struct stat &status)
{
    if (S_ISLNK(status.st_mode))
        return "it is a symbolic link";
    if (!S_ISREG(status.st_mode))
        return "it is not a regular file";
    if (status.st_uid != geteuid())
        return "it belongs to another user";
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "group or others may write it";
    return nullptr;
}

int openStandIn(const char *path, int flags, const char **refusal)
{
    *refusal = nullptr;
    // O_PATH opens nothing for reading or writing: a device node or a FIFO
    // is looked at, never opened; with O_NOFOLLOW a link gives the link.
    int handle = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (handle == -1)
        return -1;
    struct stat status {};
    if (fstat(handle, &status) != 0) {
        close(handle);
        return -1;
    }
    *refusal = refusalOf(status);
    if (*refusal != nullptr) {
        close(handle);
        errno = EACCES;
        return -1;
    }
    // Reopen the very file that was checked, whatever the path names by now.
    char checked[40];
    snprintf(checked, sizeof checked, "/proc/self/fd/%d", handle);
    int descriptor = open(checked, flags | O_CLOEXEC | O_NOCTTY);
    int openError = errno;
    close(handle);
    errno = openError;
    return descriptor;
}

bool backRegisterPage(int descriptor, off_t offset)
{
    // Allocating what is allocated already changes nothing.
    if (fallocate(descriptor, 0, offset, REGISTER_PAGE_SIZE) == 0)
        return true;
    return errno == EOPNOTSUPP || errno == ENOSYS;
}
