# Options and flags every target of the project shares, through lpfBuildFlags.

# Only an explicit choice (the board preset) gets the real physical-memory
# device, whatever the processor: a build for a machine that is not the board
# must never map its own physical memory. Empty means each user's own
# stand-in, /dev/shm/lpf-board-UID.
set(LPF_MEMORY_DEVICE "" CACHE STRING
    "Device or stand-in file that the tools map as physical memory; empty: /dev/shm/lpf-board-UID")
if(LPF_MEMORY_DEVICE STREQUAL "/dev/mem")
  set(LPF_MEMORY_DEVICE_IS_STAND_IN 0)
else()
  set(LPF_MEMORY_DEVICE_IS_STAND_IN 1)
endif()

option(LPF_STATIC_LINK "Link the programs statically (board builds)" OFF)
option(LPF_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

add_library(lpfBuildFlags INTERFACE)
target_compile_options(lpfBuildFlags INTERFACE -Wall -Wextra -Wpedantic -Werror -ffp-contract=off)
# A 4 GiB stand-in and the 0xFC000000 offset both need a 64-bit off_t on 32-bit ARM.
target_compile_definitions(lpfBuildFlags INTERFACE _FILE_OFFSET_BITS=64)
# Load only the libraries a program really uses: starting fast matters for a
# one-shot tool such as ledset.
target_link_options(lpfBuildFlags INTERFACE -Wl,--as-needed)
if(LPF_STATIC_LINK)
  target_link_options(lpfBuildFlags INTERFACE -static)
endif()
if(LPF_SANITIZE)
  set(lpfSanitizers -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_compile_options(lpfBuildFlags INTERFACE ${lpfSanitizers})
  target_link_options(lpfBuildFlags INTERFACE ${lpfSanitizers})
endif()
