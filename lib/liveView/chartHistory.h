// The points the live view's chart shows: u and y per unit, one every
// 1/50 s of the samples' own times, the newest CHART_SECONDS of them.
#pragma once

#include "registerSet.h"
#include "ring.h"

#include <cstdint>

// Seconds of history that the chart spans.
constexpr int CHART_SECONDS = 10;
constexpr int CHART_POINT_RATE = 50; // points per second
constexpr int CHART_POINTS = CHART_SECONDS * CHART_POINT_RATE;

struct ChartPoint {
    double u;
    double y;
};

class ChartHistory {
public:
    ChartHistory() : points(CHART_POINTS) {}

    // A sample taken at `nanoseconds` on the monotonic clock: it becomes a
    // point if the step since the last point is over.
    void record(int64_t nanoseconds, const RegisterSample &sample);

    const Ring<ChartPoint> &chart() const { return points; }

private:
    Ring<ChartPoint> points;
    int64_t nextPointTime = 0;
};
