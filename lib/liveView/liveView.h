// The live view of the registers on a terminal: the LED lamps and the LED
// register, Ku, Ky and the time constant they stand for, u and y, and a strip
// chart of u and y over the last seconds on one per-unit scale. lpfscope and
// lpfboard both show it.
#pragma once

#include "chartHistory.h"
#include "registerSet.h"

#include <cstdint>

// How often the programs redraw the view: 20 times a second.
constexpr int64_t VIEW_DRAW_PERIOD_NS = 50000000;

// Takes over the terminal on standard output at the next draw; a copy of
// `title` heads the view. Ctrl-Z hands the terminal back and fg takes it again.
void viewOpen(const char *title);

// A sample taken at `nanoseconds` on the monotonic clock; the chart keeps
// what it needs of them.
void viewRecord(int64_t nanoseconds, const RegisterSample &sample);

// Redraws the view at the terminal's current size, with `status` on its last
// line and `core` (what the core is, if the program says) under the
// coefficients; draws nothing while the program is in the background. False
// once the terminal cannot be written.
bool viewDraw(const char *status, const char *core = nullptr);

// Gives the terminal back as it was; safe to call more than once.
void viewClose();
