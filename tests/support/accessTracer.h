// Access tracer of the test preload library (see accessTracer.cpp).
#pragma once

#include <cstddef>

// Called by the munmap wrapper: the traced page is going away.
void traceWindowUnmapped(void *address, size_t length);
