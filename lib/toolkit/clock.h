// The monotonic clock, in nanoseconds, for programs that keep to a schedule.
#pragma once

#include <cstdint>

constexpr int64_t NS_PER_SECOND = 1000000000;
constexpr int64_t NS_PER_MILLISECOND = 1000000;
constexpr int64_t NS_PER_MICROSECOND = 1000;

int64_t monotonicNanoseconds();

// Sleeps until the monotonic clock reaches `nanoseconds`; false when a
// signal ended the sleep early, so that a stop request is seen at once.
bool sleepUntil(int64_t nanoseconds);
