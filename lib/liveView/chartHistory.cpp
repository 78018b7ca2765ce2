#include "chartHistory.h"
#include "clock.h"
#include "filterEncoding.h"

constexpr int64_t POINT_STEP_NS = NS_PER_SECOND / CHART_POINT_RATE;

void ChartHistory::record(int64_t nanoseconds, const RegisterSample &sample)
{
    if (!points.empty() && nanoseconds < nextPointTime)
        return;
    // Held up for longer than a step: the chart shows the gap as a jump.
    nextPointTime = points.empty() || nanoseconds - nextPointTime > POINT_STEP_NS ? nanoseconds + POINT_STEP_NS
                                                                                  : nextPointTime + POINT_STEP_NS;
    points.push(ChartPoint{perUnit(sample.u), perUnit(sample.y)});
}
