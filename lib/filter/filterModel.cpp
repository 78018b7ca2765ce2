#include "filterModel.h"

#include <algorithm>

namespace {

constexpr uint64_t LOW_HALF = 0xFFFFFFFFu;
// A step of the state stays the same while M * s / 2^32 (M = 2^32 - Ky)
// keeps its integer part: for a step d, about 2^32 / (M * d) samples. Below
// M * d = 2^26 such runs last 64 samples or more, worth finding by bisection.
constexpr uint64_t RUN_DISTANCE = uint64_t{1} << 26;
// Samples stepped one by one between looks at the state.
constexpr uint64_t BATCH = 1024;

// ceil(Ky * s / 2^32), exact: the product needs 96 bits, the quotient 64.
int64_t decay(int64_t s, uint32_t Ky)
{
    int64_t high = s >> 32; // floor(s / 2^32)
    uint64_t low = static_cast<uint64_t>(s) & LOW_HALF;
    return static_cast<int64_t>(Ky) * high + static_cast<int64_t>((Ky * low + LOW_HALF) >> 32);
}

// The sample with M = 2^32 - Ky and C = 2 * Ku * u taken modulo 2^64: since
// ceil(Ky * s / 2^32) = s - floor(M * s / 2^32), where no sum leaves 64 bits
// the wrapping arithmetic is exact.
int64_t unsaturatedStep(int64_t s, uint64_t M, uint64_t C)
{
    auto high = static_cast<uint64_t>(s >> 32);
    uint64_t low = static_cast<uint64_t>(s) & LOW_HALF;
    return static_cast<int64_t>(static_cast<uint64_t>(s) + C - M * high - ((M * low) >> 32));
}

// Whether no state at all can saturate: a step takes s to Ky / 2^32 of the
// way from the rest point 2 * Ku * u * 2^32 / M to s (and less than one
// more), so while the rest point lies inside 64 bits every sum does. Half the
// drive, Ku * u, fits in 64 bits.
bool neverSaturates(const FilterInputs &in, uint64_t M)
{
    int64_t halfDrive = static_cast<int64_t>(in.Ku) * in.u;
    auto limit = static_cast<int64_t>(M << 30); // 2^31 * M / 2, at most 2^62
    return halfDrive <= limit - 1 && halfDrive >= -limit;
}

struct Stepper {
    FilterInputs in;
    uint64_t M;
    uint64_t C;
    bool unsaturated;

    int64_t operator()(int64_t s) const { return unsaturated ? unsaturatedStep(s, M, C) : filterStep(s, in); }
};

// s + j * delta, where the result is known to be a 64-bit value (the product
// alone may not be).
int64_t along(int64_t s, uint64_t j, int64_t delta)
{
    return static_cast<int64_t>(static_cast<uint64_t>(s) + j * static_cast<uint64_t>(delta));
}

// The change one sample makes, step(s) - s, never grows as s grows: the step
// is monotonic with a slope of at most one (Ky < 2^32), and clamping keeps
// that. So from s on, the samples that change s by the same delta form one
// unbroken run, and its length can be found by bisection.
uint64_t runLength(int64_t s, int64_t delta, const Stepper &step, uint64_t limit)
{
    auto sameDelta = [&](uint64_t j) {
        int64_t sj = along(s, j, delta);
        int64_t target = 0;
        return !__builtin_add_overflow(sj, delta, &target) && step(sj) == target;
    };
    // s + j * delta must stay a 64-bit value for every j below the run's end.
    uint64_t headroom = static_cast<uint64_t>(s) - static_cast<uint64_t>(INT64_MIN);
    uint64_t magnitude = 0 - static_cast<uint64_t>(delta);
    if (delta > 0) {
        headroom = static_cast<uint64_t>(INT64_MAX) - static_cast<uint64_t>(s);
        magnitude = static_cast<uint64_t>(delta);
    }
    uint64_t farthest = headroom / magnitude; // the largest j that keeps it so
    if (limit > farthest)
        limit = farthest + 1;
    uint64_t inside = 0; // sameDelta holds here
    uint64_t stride = 1;
    while (inside + stride < limit && sameDelta(inside + stride)) {
        inside += stride;
        stride *= 2;
    }
    uint64_t outside = inside + stride < limit ? inside + stride : limit; // first j known not to count
    while (outside - inside > 1) {
        uint64_t middle = inside + (outside - inside) / 2;
        if (sameDelta(middle))
            inside = middle;
        else
            outside = middle;
    }
    return outside;
}

} // namespace

int64_t filterStep(int64_t state, const FilterInputs &in)
{
    // 2 * Ku * u needs 65 bits: add its half twice, saturating on the way.
    int64_t halfDrive = static_cast<int64_t>(in.Ku) * in.u;
    int64_t sum = 0;
    if (__builtin_add_overflow(decay(state, in.Ky), halfDrive, &sum) ||
        __builtin_add_overflow(sum, halfDrive, &sum))
        return halfDrive > 0 ? INT64_MAX : INT64_MIN;
    return sum;
}

int64_t filterAdvance(int64_t state, const FilterInputs &in, uint64_t samples)
{
    Stepper step{in, (uint64_t{1} << 32) - in.Ky, 0, false};
    step.C = 2 * static_cast<uint64_t>(static_cast<int64_t>(in.Ku) * in.u);
    step.unsaturated = neverSaturates(in, step.M);
    while (samples > 0) {
        int64_t next = step(state);
        if (next == state)
            return state; // at rest: it stays there while the inputs hold
        uint64_t distance = next > state ? static_cast<uint64_t>(next) - static_cast<uint64_t>(state)
                                         : static_cast<uint64_t>(state) - static_cast<uint64_t>(next);
        if (distance < RUN_DISTANCE / step.M) {
            uint64_t run = runLength(state, next - state, step, samples);
            state = along(state, run, next - state);
            samples -= run;
            continue;
        }
        uint64_t batch = std::min(samples, BATCH);
        samples -= batch;
        if (step.unsaturated) {
            for (uint64_t i = 0; i < batch; ++i)
                state = unsaturatedStep(state, step.M, step.C);
        } else {
            for (uint64_t i = 0; i < batch; ++i)
                state = filterStep(state, in);
        }
    }
    return state;
}

int32_t filterOutput(int64_t state)
{
    return static_cast<int32_t>(state >> 32);
}
