// Standard streams that a program may find closed when it starts.
#pragma once

// Gives each closed standard descriptor (0, 1, 2) to /dev/null, so that a
// file opened later never becomes standard input or output. False if that
// cannot be done.
bool guardStandardStreams();
