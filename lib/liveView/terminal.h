// The terminal as a full-screen view takes it and gives it back: the
// alternate screen, the cursor and line wrap; Ctrl-Z and fg; the background;
// and a crash.
#pragma once

// Whether standard output is a terminal whose foreground this process is in.
// A program in the background leaves the terminal alone, as off a terminal.
bool terminalInForeground();

// From now on, Ctrl-Z (SIGTSTP) waits for terminalService, and a crash
// gives the terminal back before the program dies.
void terminalWatch();

// Takes the terminal if it is not held: alternate screen, cursor hidden, no
// line wrap. False once the terminal cannot be written.
bool terminalTake();

// Gives the terminal back as it was, if held; safe to call at any time.
void terminalGiveBack();

// Job control since the last call: after Ctrl-Z it gives the terminal back
// and stops until fg. Gives whether the view should be drawn now: the
// terminal is held, taking it again if the program is back in the
// foreground, and given back while it is in the background.
bool terminalService();
