# Options and flags every target of the project shares, through lpfBuildFlags.

# Only the board's processor gets the real physical-memory device by default:
# a build for any other machine must never map its own physical memory.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|ARM)")
  set(lpfDefaultMemoryDevice "/dev/mem")
else()
  set(lpfDefaultMemoryDevice "/dev/shm/lpf-board")
endif()
set(LPF_MEMORY_DEVICE "${lpfDefaultMemoryDevice}" CACHE STRING
    "Device or stand-in file that the tools map as physical memory")

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
