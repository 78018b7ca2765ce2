// The guest's virtio-serial ports, whose device nodes appear a moment after
// the driver has loaded.
#pragma once

// Opens the port's device node with `flags` (close-on-exec added), waiting
// up to PORT_WAIT_MS for it to appear; -1 with errno set otherwise.
int openPort(const char *path, int flags);

constexpr int PORT_WAIT_MS = 10000;
