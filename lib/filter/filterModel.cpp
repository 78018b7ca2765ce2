#include "filterModel.h"

int32_t filterStep(int32_t y, const FilterInputs &in)
{
    // Both products fit in 64 bits; their sum with the factor 2 does not, so
    // add the high and low 32-bit halves apart.
    int64_t feedback = static_cast<int64_t>(in.Ky) * y;
    int64_t drive = static_cast<int64_t>(in.Ku) * in.u;
    int64_t high = (feedback >> 32) + 2 * (drive >> 32);
    uint64_t low = (static_cast<uint64_t>(feedback) & 0xFFFFFFFFu) + 2 * (static_cast<uint64_t>(drive) & 0xFFFFFFFFu);
    int64_t next = high + static_cast<int64_t>(low >> 32);
    if (next > INT32_MAX)
        return INT32_MAX;
    if (next < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(next);
}

// The change one sample makes, step(y) - y, never grows as y grows: step is
// monotonic with a slope below one (Ky < 2^32), and clamping keeps that. So
// from y on, the samples that change y by the same delta form one unbroken
// run, and its length can be found by bisection instead of sample by sample.
static uint64_t runLength(int32_t y, int64_t delta, const FilterInputs &in, uint64_t limit)
{
    auto sameDelta = [&](uint64_t j) {
        int64_t yj = y + static_cast<int64_t>(j) * delta;
        return filterStep(static_cast<int32_t>(yj), in) - yj == delta;
    };
    // y + j * delta must stay a 32-bit value for every j below the run's end.
    const int64_t here = y;
    int64_t headroom = here - INT32_MIN;
    int64_t stride = -delta;
    if (delta > 0) {
        headroom = INT32_MAX - here;
        stride = delta;
    }
    auto room = static_cast<uint64_t>(headroom / stride) + 1;
    if (limit > room)
        limit = room;
    uint64_t inside = 0; // sameDelta holds here
    uint64_t step = 1;
    while (inside + step < limit && sameDelta(inside + step)) {
        inside += step;
        step *= 2;
    }
    uint64_t outside = inside + step < limit ? inside + step : limit; // first j known not to count
    while (outside - inside > 1) {
        uint64_t middle = inside + (outside - inside) / 2;
        if (sameDelta(middle))
            inside = middle;
        else
            outside = middle;
    }
    return outside;
}

int32_t filterAdvance(int32_t y, const FilterInputs &in, uint64_t samples)
{
    while (samples > 0) {
        int64_t delta = static_cast<int64_t>(filterStep(y, in)) - y;
        if (delta == 0)
            return y; // a fixed point stays one while the inputs hold
        uint64_t run = runLength(y, delta, in, samples);
        y = static_cast<int32_t>(y + static_cast<int64_t>(run) * delta);
        samples -= run;
    }
    return y;
}
