// The signals that ask a program to stop (their table is in
// stopSignals.cpp), taken as a request to stop at the next convenient point
// rather than at once: a program that holds a terminal or a file in a state
// of its own puts it back first.
#pragma once

#include <csignal>

extern volatile sig_atomic_t stopRequested;

// System calls the signals interrupt are restarted (a row being written is
// written whole), but for sleeps, which end early.
void installStopHandlers();

// Adds the stop signals to `signals`, for a thread that leaves them to
// another.
void addStopSignals(sigset_t &signals);

// Their names as a help text gives them, in a list: "SIGA, SIGB or SIGC".
const char *stopSignalNames();
