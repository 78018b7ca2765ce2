// The device that stands for physical memory: "/dev/mem" on the board, a
// stand-in file elsewhere. Compiled in; see LPF_MEMORY_DEVICE in CMake.
#pragma once

#ifndef LPF_MEMORY_DEVICE
#error "LPF_MEMORY_DEVICE must name the physical-memory device"
#endif

constexpr const char *MEMORY_DEVICE_PATH = LPF_MEMORY_DEVICE;
