#include "clock.h"

#include <ctime>

int64_t monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * NS_PER_SECOND + now.tv_nsec;
}

bool sleepUntil(int64_t nanoseconds)
{
    timespec until{static_cast<time_t>(nanoseconds / NS_PER_SECOND), static_cast<long>(nanoseconds % NS_PER_SECOND)};
    return clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == 0;
}
