// The control port's messages: one line of ASCII each.
//   host to guest  "signal N"           pass signal N on to the command
//                  "size ROWS COLUMNS"  the host's terminal has this size now
//   guest to host  "started"            the command runs
//                  "exit STATUS OUT ERR" the command has ended with STATUS (as
//                                       the shell's $?) and OUT and ERR bytes
//                                       were sent on the output and error ports
#pragma once

#include <cstddef>
#include <cstdint>

enum class ControlKind { Signal, Size, Unknown };

struct ControlMessage {
    ControlKind kind;
    int first;  // the signal, or the rows
    int second; // the columns
};

// One message from a line without its newline; Unknown for anything else,
// numbers out of range included.
ControlMessage parseControlLine(const char *line);

// The exit record with its newline, in `buffer`; its length.
size_t formatExitRecord(char *buffer, size_t size, int status, uint64_t outBytes, uint64_t errBytes);
