// The device that stands for physical memory: "/dev/mem" on the board, a
// stand-in file elsewhere. Compiled in; see LPF_MEMORY_DEVICE in CMake.
#pragma once

#include "physicalMemoryFile.h"

#include <cstdio>
#include <sys/types.h>
#include <unistd.h>

#ifndef LPF_MEMORY_DEVICE
#error "LPF_MEMORY_DEVICE must name the physical-memory device, or be empty for the per-user stand-in"
#endif
#ifndef LPF_MEMORY_DEVICE_IS_STAND_IN
#error "LPF_MEMORY_DEVICE_IS_STAND_IN must say whether the device is a stand-in file"
#endif

constexpr bool MEMORY_DEVICE_IS_STAND_IN = LPF_MEMORY_DEVICE_IS_STAND_IN != 0;


// The device as this user's tools, lpfboard and the tests all name it.
inline const char *memoryDevicePath()
{
    static char perUser[64];
    if (LPF_MEMORY_DEVICE[0] != '\0')
        return LPF_MEMORY_DEVICE;
    snprintf(perUser, sizeof perUser, "%s%u", STAND_IN_PREFIX, static_cast<unsigned>(geteuid()));
    return perUser;
}

// Opens a stand-in without following a symbolic link and without ever
// opening a device node or a FIFO, and only if it is a regular file of the
// user running the tool that nobody else may write. `flags` are the access
// flags (O_RDONLY, O_RDWR, O_SYNC). Gives -1 on failure, with `refusal` set
// to why the file was refused, or to nullptr when errno tells.
int openStandIn(const char *path, int flags, const char **refusal);

// Opens the memory device: the stand-in checks above where it is a stand-in,
// and never on descriptor 0, 1 or 2. -1 on failure, with `refusal` as above.
int openMemoryDevice(int flags, const char **refusal);

// Gives the page at `offset` of a stand-in, the one that holds the five
// registers, real storage, so that a full file system is an error now rather
// than SIGBUS at the first store. False (errno set) if it cannot; a file
// system that cannot preallocate at all is left to chance.
bool backRegisterPage(int descriptor, off_t offset);

// Whether `path` names the open file `descriptor` (not a link to it): a
// stand-in that lpfboard powered off is removed, or replaced by the file of
// another board.
bool pathNames(const char *path, int descriptor);
