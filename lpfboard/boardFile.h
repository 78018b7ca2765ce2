// The stand-in file that lpfboard serves: powering it on and off.
#pragma once

#include <cstdint>

struct BoardFile {
    const char *path;
    int descriptor;
    void *page; // the mapped page that holds the five registers
    volatile uint32_t *led;
    volatile uint32_t *u;
    volatile uint32_t *Ku;
    volatile uint32_t *Ky;
    volatile uint32_t *y;
};

// Creates or reuses the stand-in, locks it against a second board, maps its
// registers and sets them to 0. On failure it has printed one line on
// standard error and changed nothing that another board relies on.
bool powerOn(BoardFile &board, const char *path);

// Unmaps and removes the stand-in, so the tools see a board switched off.
void powerOff(BoardFile &board);
