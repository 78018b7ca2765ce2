// A file that stands for physical memory, as lpfboard makes it and the tools
// map it: where the window starts in it, its size, where the register page
// is, and the mark in its first bytes. The lpfmap package reads the constants
// below from this file, so each is written here alone.
#pragma once

#include "hwregs.h"

#include <sys/types.h>

// A 32-bit off_t would turn the window's offset into a negative number, and
// a 4 GiB stand-in could not even be opened on a 32-bit kernel.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

// The stand-in: all 4 GiB of physical memory, the file offset the physical
// address, as the memory device itself is laid out.
constexpr off_t STAND_IN_WINDOW = static_cast<off_t>(ALT_STM_OFST);
constexpr off_t STAND_IN_SIZE = STAND_IN_WINDOW + static_cast<off_t>(HW_REGS_SPAN);
constexpr off_t STAND_IN_REGISTERS = STAND_IN_WINDOW + static_cast<off_t>(HW_REGS_LWFPGASLVS_BASE);
constexpr char STAND_IN_MARK[] = "lpfboard stand-in\n";

// The window file: the window alone, its first byte physical ALT_STM_OFST,
// as a virtual board's guest maps it.
constexpr off_t WINDOW_FILE_WINDOW = 0;
constexpr off_t WINDOW_FILE_SIZE = static_cast<off_t>(HW_REGS_SPAN);
constexpr off_t WINDOW_FILE_REGISTERS = WINDOW_FILE_WINDOW + static_cast<off_t>(HW_REGS_LWFPGASLVS_BASE);
constexpr char WINDOW_FILE_MARK[] = "lpfboard window\n";

// The page that holds the five registers, in either layout: what lpfboard
// maps, and what a stand-in gives real storage before a writable mapping.
constexpr off_t REGISTER_PAGE_SIZE = 4096;

// Where each user's own stand-in lives when the build names no fixed file:
// a name per user (this prefix and the numeric user id), so that users of
// one machine never share a board.
constexpr char STAND_IN_PREFIX[] = "/dev/shm/lpf-board-";

static_assert(STAND_IN_WINDOW > 0 && STAND_IN_SIZE == 0x100000000LL, "the window must end the 32-bit space");

struct PhysicalMemoryFile {
    // The first bytes of every such file that lpfboard makes, where neither
    // the tools nor a guest ever look: only a file that carries them is
    // reused by lpfboard, or watched by lpfscope as a window file.
    const char *mark;
    const char *unmarked; // why a file without the mark is refused
    off_t window;         // where the window starts
    off_t size;
    off_t registers; // where the register page is
};

constexpr PhysicalMemoryFile STAND_IN{STAND_IN_MARK, "it is not a stand-in that lpfboard made", STAND_IN_WINDOW,
                                      STAND_IN_SIZE, STAND_IN_REGISTERS};
constexpr PhysicalMemoryFile WINDOW_FILE{WINDOW_FILE_MARK, "it is not a window file that lpfboard made",
                                         WINDOW_FILE_WINDOW, WINDOW_FILE_SIZE, WINDOW_FILE_REGISTERS};

// Whether the open file begins with the layout's mark: nullptr if it does,
// else why the file is refused (`unmarked`).
const char *markRefusal(int descriptor, const PhysicalMemoryFile &layout);
