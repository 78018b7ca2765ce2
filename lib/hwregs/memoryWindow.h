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

// The same for a window file (see physicalMemoryFile.h), as a virtual
// board's memory is served. The file is held to the stand-in's rules (this
// user's regular file, not a link, that nobody else may write) and must carry
// the window file's mark: any other file is refused, as lpfboard refuses it.
WindowStatus mapWindowFile(RegisterWindow &window, const char *path, WindowAccess access);

// Unmaps the window; false (errno set) if that fails. The device stays open.
bool unmapMemoryWindow(const RegisterWindow &window);
