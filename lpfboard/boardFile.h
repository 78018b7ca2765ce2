// The file that lpfboard serves, a stand-in or a window file: powering it on and off.
#pragma once

#include "registerSet.h"

// What the file holds (see physicalMemoryFile.h): all 4 GiB of physical
// memory, as the tools' stand-in; or the window alone, as a virtual board's
// guest maps it.
enum class BoardKind { StandIn, WindowFile };

struct BoardFile {
    const char *path;
    BoardKind kind;
    int descriptor;
    bool created; // by this board, rather than a stale one reused
    void *page;   // the mapped page that holds the registers
    RegisterSet registers;
};

// Creates the file (mode 0600, never through a link), or reuses a stale one
// of the same kind that an lpfboard made and that is still private to this
// user; locks it against a second board, backs and maps its registers, sets
// them to 0, and serves the core's identity and clock. On failure it has printed one line on standard error,
// removed what it created, and left every other file as it was.
bool powerOn(BoardFile &board, const char *path, BoardKind kind);

// Unmaps and removes the file, so the tools see a board switched off;
// a file that has taken its place meanwhile is left alone.
void powerOff(BoardFile &board);
