// Passes a running command's streams between its pipes or terminal and the
// ports, as fast as both sides take them and no faster, until the command
// has ended and its output is all sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

constexpr size_t FLOW_BUFFER = 65536;
// After a short read, the relay waits this long before it reads again, so
// that a command writing many small pieces (a console's reports) fills the
// pipe meanwhile instead of waking the relay for each: under emulation a
// switch between processes costs far more than the delay.
constexpr long GATHER_NS = 4000000;

// One direction: bytes read from `from` wait in the buffer until `to` takes
// them; nothing more is read meanwhile, so the writer on the far side waits.
struct Flow {
    int from = -1;
    int to = -1;
    bool toIsPort = false;     // a hangup on it means the host's reader left
    bool closeWhenGone = true; // then close `from`, so its writer sees a closed pipe
    bool input = false;        // the command's input: not awaited at the end
    bool ended = false;        // `from` is at its end
    bool shortRead = false;    // the last read took less than the buffer holds
    size_t start = 0;
    size_t end = 0;
    uint64_t sent = 0;
    char buffer[FLOW_BUFFER];
};

struct Relay {
    Flow *flows[2] = {nullptr, nullptr};
    int control = -1;  // the control port
    int signals = -1;  // a signalfd for SIGCHLD
    int terminal = -1; // the pty's master, or -1
    pid_t child = -1;
    bool childEnded = false;
    int status = 0;    // as the shell's $?
    char line[128];
    size_t lineLength = 0;
};

// Relays until the command has ended and every flow is done; then the
// command's status is in relay.status.
void runRelay(Relay &relay);

// Sends `text` on the control port, waiting up to `timeoutMs` for room.
bool sendControl(int control, const char *text, size_t length, int timeoutMs);
