// The register window mapped from the memory device, quietly: what failed is
// returned, and each program says it in its own words.
#pragma once

#include "hwregs.h"

enum class WindowAccess { ReadWrite, ReadOnly };

enum class WindowFault { None, Open, Map };

struct WindowStatus {
    WindowFault fault;
    int error;           // errno of the step that failed
    const char *refusal; // why a stand-in was refused, or nullptr
};

// Opens the memory device (synchronous, so that on the board every access
// reaches the bridge) and maps the window with the given access. After a
// failed mapping the device is closed again.
WindowStatus mapMemoryWindow(RegisterWindow &window, WindowAccess access);

// Maps the window of an open memory device, readable, and writable if asked;
// MAP_FAILED (errno set) if that fails or a stand-in could not back it.
void *mapWindow(int descriptor, bool writable);

// Unmaps the window; false (errno set) if that fails. The device stays open.
bool unmapMemoryWindow(const RegisterWindow &window);
