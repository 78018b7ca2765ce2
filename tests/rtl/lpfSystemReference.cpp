#include "lpfSystemReference.h"

#include "filterModel.h"

// Operands, pieces, product, accumulator, s: 5 clocks; from 9 clocks a
// sample (90 MHz) on, the pieces' sum and the accumulator's two sums take
// two clocks each and the saturation one: 9.
int stepClocks(int divider)
{
    return divider >= 9 ? 9 : 5;
}

Reference resetReference(int divider)
{
    return Reference{divider, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, false, 0};
}

uint32_t stored(uint32_t old, const Bus &bus)
{
    uint32_t lanes = 0;
    for (unsigned lane = 0; lane < 4; ++lane)
        lanes |= (bus.byteenable >> lane & 1u) != 0 ? 0xFFu << (8 * lane) : 0;
    return (old & ~lanes) | (bus.writedata & lanes);
}

uint32_t wordOf(const Reference &ref, unsigned address)
{
    switch (address) {
    case LED_WORD: return ref.led;
    case U_WORD: return ref.u;
    case KU_WORD: return ref.ku;
    case KY_WORD: return ref.ky;
    case Y_WORD: return static_cast<uint32_t>(filterOutput(ref.shown));
    case IDENTITY_WORD: return LPF_IDENTITY;
    case CLOCK_HZ_WORD: return static_cast<uint32_t>(ref.divider) * 10000000u;
    case SAMPLE_COUNT_WORD: return ref.sampleCount;
    case STATUS_WORD: return ref.held ? LPF_STATUS_PAIR_HELD : 0;
    default: return 0;
    }
}

namespace {

void sampleEdge(Reference &ref, const Bus &bus, Coverage &coverage)
{
    ref.state = filterStep(ref.state, FilterInputs{static_cast<int32_t>(ref.u), ref.kuPair, ref.kyPair});
    ref.untilShown = stepClocks(ref.divider);
    ref.phase = 0;
    ++ref.sampleCount;
    // A store in this clock restarts the hold instead.
    bool pairStore = bus.write && (bus.address == KU_WORD || bus.address == KY_WORD) && bus.byteenable != 0;
    if (!pairStore && ref.holdLeft > 0 && --ref.holdLeft == 0) {
        ref.kuPair = ref.ku;
        ref.kyPair = ref.ky;
        ref.held = false;
    }
    ++coverage.samples;
    coverage.saturatedHigh += ref.state == INT64_MAX ? 1 : 0;
    coverage.saturatedLow += ref.state == INT64_MIN ? 1 : 0;
    coverage.writesAtSample += bus.write ? 1 : 0;
    coverage.heldKuSamples += ref.ku != ref.kuPair && ref.u != 0 ? 1 : 0;
    coverage.heldKySamples += ref.ky != ref.kyPair ? 1 : 0;
}

void storeEdge(Reference &ref, const Bus &bus, Coverage &coverage)
{
    bool registerWord =
        bus.address == LED_WORD || bus.address == U_WORD || bus.address == KU_WORD || bus.address == KY_WORD;
    coverage.partialStores += registerWord && bus.byteenable != ALL_LANES ? 1 : 0;
    if ((bus.address == KU_WORD || bus.address == KY_WORD) && bus.byteenable != 0) {
        ref.holdLeft = LPF_PAIR_HOLD_SAMPLES - 1;
        ref.held = bus.address == KU_WORD || (bus.byteenable & TOP_LANE) == 0;
    }
    switch (bus.address) {
    case LED_WORD: ref.led = stored(ref.led, bus); break;
    case U_WORD: ref.u = stored(ref.u, bus); break;
    case KU_WORD: ref.ku = stored(ref.ku, bus); break;
    case KY_WORD:
        if ((bus.byteenable & TOP_LANE) != 0) {
            coverage.pairsCommitted += ref.ku != ref.kuPair ? 1 : 0;
            coverage.kyAlone += ref.ku == ref.kuPair ? 1 : 0;
            coverage.piecewiseCommits += bus.byteenable != ALL_LANES && ref.ky != ref.kyPair ? 1 : 0;
            ref.ky = stored(ref.ky, bus);
            ref.kuPair = ref.ku;
            ref.kyPair = ref.ky;
        } else {
            ref.ky = stored(ref.ky, bus);
        }
        break;
    default: break;
    }
}

} // namespace

void referenceEdge(Reference &ref, const Bus &bus, bool reset, Coverage &coverage)
{
    if (reset) {
        ref = resetReference(ref.divider);
        ++coverage.resets;
        return;
    }
    uint32_t before = wordOf(ref, bus.address);
    if (ref.untilShown > 0 && --ref.untilShown == 0)
        ref.shown = ref.state;
    if (ref.phase == ref.divider - 1)
        sampleEdge(ref, bus, coverage);
    else
        ++ref.phase;
    if (bus.write)
        storeEdge(ref, bus, coverage);
    if (bus.read)
        ref.readdata = before;
}
