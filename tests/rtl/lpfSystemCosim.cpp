// Co-simulation of the Verilog design (verilated at 40, 50 and 100 MHz) with
// lpfboard's filter model: random bus traffic at random cycles, and after
// every clock edge the design's read data and LEDs must equal what a
// reference built on filterStep gives. The reference keeps the registers as
// the bus defines them (byte lanes, the held Ku, y four clocks after its
// sample), so the same run checks read-back, read-only y, unknown words, the
// one-cycle read latency and reset. Run with +verilator+rand+reset+2
// +verilator+seed+N, every register starts at random values.
#include "Vlpf_system_100MHz.h"
#include "Vlpf_system_40MHz.h"
#include "Vlpf_system_50MHz.h"
#include "filterEncoding.h"
#include "filterModel.h"
#include "hwregs.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <verilated.h>

namespace {

constexpr unsigned LED_WORD = LED_BASE / 4, U_WORD = LPF_U_BASE / 4, KU_WORD = LPF_KU_BASE / 4,
                   KY_WORD = LPF_KY_BASE / 4, Y_WORD = LPF_Y_BASE / 4;
constexpr uint64_t SAMPLES = 500000;
constexpr unsigned ALL_LANES = 0xF;
constexpr unsigned TOP_LANE = 0x8; // a Ky store that writes it commits the pair

// From a sampling edge to the edge that shows its y: the pieces of each
// product take a clock of their own where a sample has five clocks or more.
int stepClocks(int divider)
{
    return divider >= 5 ? 5 : 4;
}

struct Bus {
    unsigned address;
    bool write;
    uint32_t writedata;
    unsigned byteenable;
    bool read;
};

struct Reference {
    int divider;
    uint32_t led, u, ku, ky, kuPair, kyPair;
    int64_t state; // after the latest sample
    int64_t shown; // the state that y shows
    int untilShown;
    int phase;
    uint32_t readdata;
};

struct Coverage {
    uint64_t samples, saturatedHigh, saturatedLow, writesAtSample, resets;
    uint64_t heldKuSamples, pairsCommitted, kyAlone, partialStores;
};

uint32_t wordOf(const Reference &ref, unsigned address)
{
    switch (address) {
    case LED_WORD: return ref.led;
    case U_WORD: return ref.u;
    case KU_WORD: return ref.ku;
    case KY_WORD: return ref.ky;
    case Y_WORD: return static_cast<uint32_t>(filterOutput(ref.shown));
    default: return 0;
    }
}

uint32_t stored(uint32_t old, const Bus &bus)
{
    uint32_t lanes = 0;
    for (unsigned lane = 0; lane < 4; ++lane)
        lanes |= (bus.byteenable >> lane & 1u) != 0 ? 0xFFu << (8 * lane) : 0;
    return (old & ~lanes) | (bus.writedata & lanes);
}

// What one rising edge does, from the values held before it.
void referenceEdge(Reference &ref, const Bus &bus, bool reset, Coverage &coverage)
{
    if (reset) {
        ref = Reference{ref.divider, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        ++coverage.resets;
        return;
    }
    uint32_t before = wordOf(ref, bus.address);
    if (ref.untilShown > 0 && --ref.untilShown == 0)
        ref.shown = ref.state;
    if (ref.phase == ref.divider - 1) {
        ref.state = filterStep(ref.state, FilterInputs{static_cast<int32_t>(ref.u), ref.kuPair, ref.kyPair});
        ref.untilShown = stepClocks(ref.divider);
        ref.phase = 0;
        ++coverage.samples;
        coverage.saturatedHigh += ref.state == INT64_MAX ? 1 : 0;
        coverage.saturatedLow += ref.state == INT64_MIN ? 1 : 0;
        coverage.writesAtSample += bus.write ? 1 : 0;
        coverage.heldKuSamples += ref.ku != ref.kuPair && ref.u != 0 ? 1 : 0;
    } else {
        ++ref.phase;
    }
    if (bus.write) {
        bool registerWord = bus.address == LED_WORD || bus.address == U_WORD || bus.address == KU_WORD ||
                            bus.address == KY_WORD;
        coverage.partialStores += registerWord && bus.byteenable != ALL_LANES ? 1 : 0;
        switch (bus.address) {
        case LED_WORD: ref.led = stored(ref.led, bus); break;
        case U_WORD: ref.u = stored(ref.u, bus); break;
        case KU_WORD: ref.ku = stored(ref.ku, bus); break;
        case KY_WORD:
            ref.ky = stored(ref.ky, bus);
            if ((bus.byteenable & TOP_LANE) != 0) {
                coverage.pairsCommitted += ref.ku != ref.kuPair ? 1 : 0;
                coverage.kyAlone += ref.ku == ref.kuPair ? 1 : 0;
                ref.kuPair = ref.ku;
                ref.kyPair = ref.ky;
            }
            break;
        default: break;
        }
    }
    if (bus.read)
        ref.readdata = before;
}

template <typename Model> void clockEdge(Model &top, const Bus &bus, bool reset)
{
    top.reset = reset ? 1 : 0;
    top.address = bus.address;
    top.write = bus.write ? 1 : 0;
    top.writedata = bus.writedata;
    top.byteenable = bus.byteenable;
    top.read = bus.read ? 1 : 0;
    top.clk = 0;
    top.eval();
    top.clk = 1;
    top.eval();
}

// Values that matter to the arithmetic: the extremes, and what the console
// writes for the time constants and inputs a user types.
uint32_t interestingValue(std::mt19937_64 &rng, unsigned address)
{
    static const uint32_t extremes[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0x80000001, 0xFFFFFFFF};
    std::uniform_int_distribution<int> pick(0, 3);
    switch (pick(rng)) {
    case 0: return extremes[rng() % (sizeof extremes / sizeof extremes[0])];
    case 1: return static_cast<uint32_t>(rng());
    default: break;
    }
    if (address == U_WORD)
        return static_cast<uint32_t>(encodeFilterInput(std::uniform_real_distribution<>(-1.2, 1.2)(rng)).raw);
    double tau = std::pow(10.0, std::uniform_real_distribution<>(-8.0, -3.0)(rng));
    FilterCoefficients coefficients = filterCoefficients(tau);
    return address == KU_WORD ? coefficients.Ku : coefficients.Ky;
}

// Filter registers now and then, mostly whole words, in any order, so pairs
// come Ku first or Ky first and tens to thousands of samples apart.
Bus randomBus(std::mt19937_64 &rng)
{
    static const unsigned registers[] = {U_WORD, KU_WORD, KY_WORD};
    Bus bus{Y_WORD, false, 0, ALL_LANES, true}; // by default, watch y every cycle
    uint64_t roll = rng() % 1000;
    if (roll < 4) {
        bus.address = registers[rng() % 3];
        bus.write = true;
        bus.writedata = interestingValue(rng, bus.address);
        bus.byteenable = rng() % 4 == 0 ? static_cast<unsigned>(rng() % 16) : ALL_LANES;
    } else if (roll < 40) { // anything at all, any word
        bus.address = static_cast<unsigned>(rng() % 32);
        bus.write = (rng() & 1) != 0;
        bus.writedata = static_cast<uint32_t>(rng());
        bus.byteenable = static_cast<unsigned>(rng() % 16);
        bus.read = (rng() & 1) != 0;
    }
    return bus;
}

template <typename Model, int Divider> struct Clocked {
    using Top = Model;
    static constexpr int DIVIDER = Divider;
};

template <typename T> class LpfSystem : public ::testing::Test {};
using Clocks = ::testing::Types<Clocked<Vlpf_system_40MHz, 4>, Clocked<Vlpf_system_50MHz, 5>,
                                Clocked<Vlpf_system_100MHz, 10>>;
// Names the cases by their clock rather than by their index.
struct ClockName {
    template <typename T> static std::string GetName(int /*index*/) { return std::to_string(T::DIVIDER * 10) + "MHz"; }
};
TYPED_TEST_SUITE(LpfSystem, Clocks, ClockName);

} // namespace

TYPED_TEST(LpfSystem, EqualsTheModelUnderRandomBusTraffic)
{
    typename TypeParam::Top top;
    if (Verilated::threadContextp()->randReset() == 2) { // the registers must really start at random
        EXPECT_TRUE(top.readdata != 0 || top.led != 0) << "random initial values are not in effect";
    }
    Reference ref{TypeParam::DIVIDER, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Coverage coverage{};
    std::mt19937_64 rng(20261208 + TypeParam::DIVIDER);
    clockEdge(top, Bus{}, true);

    uint64_t cycle = 0;
    while (coverage.samples < SAMPLES) {
        bool reset = rng() % 200000 == 0;
        Bus bus = randomBus(rng);
        clockEdge(top, bus, reset);
        referenceEdge(ref, bus, reset, coverage);
        ++cycle;
        ASSERT_EQ(top.readdata, ref.readdata) << "read data at cycle " << cycle << ", word " << bus.address;
        ASSERT_EQ(top.led, ref.led) << "LEDs at cycle " << cycle;
    }
    // The run must have reached what it is meant to prove.
    EXPECT_GT(coverage.saturatedHigh, 0u);
    EXPECT_GT(coverage.saturatedLow, 0u);
    EXPECT_GT(coverage.writesAtSample, 100u);
    EXPECT_GT(coverage.resets, 0u);
    EXPECT_GT(coverage.heldKuSamples, 10000u);
    EXPECT_GT(coverage.pairsCommitted, 100u);
    EXPECT_GT(coverage.kyAlone, 100u);
    EXPECT_GT(coverage.partialStores, 1000u);
    std::printf("%llu samples in %llu cycles: %llu at +max, %llu at -max, %llu stores in a sampling clock, "
                "%llu resets, %llu samples with a Ku held, %llu pairs, %llu Ky stores alone, %llu partial stores\n",
                static_cast<unsigned long long>(coverage.samples), static_cast<unsigned long long>(cycle),
                static_cast<unsigned long long>(coverage.saturatedHigh),
                static_cast<unsigned long long>(coverage.saturatedLow),
                static_cast<unsigned long long>(coverage.writesAtSample),
                static_cast<unsigned long long>(coverage.resets),
                static_cast<unsigned long long>(coverage.heldKuSamples),
                static_cast<unsigned long long>(coverage.pairsCommitted),
                static_cast<unsigned long long>(coverage.kyAlone),
                static_cast<unsigned long long>(coverage.partialStores));
}

// The console going from a fast to a slow filter at a steady input: with
// the new Ku held until Ky comes, however late, y never dips.
TYPED_TEST(LpfSystem, SlowerFilterKeepsTheOutput)
{
    typename TypeParam::Top top;
    const int clocksPerSample = TypeParam::DIVIDER;
    auto store = [&](unsigned word, uint32_t value) { clockEdge(top, Bus{word, true, value, ALL_LANES, false}, false); };
    auto readY = [&]() {
        clockEdge(top, Bus{Y_WORD, false, 0, ALL_LANES, true}, false);
        return static_cast<int32_t>(top.readdata);
    };
    clockEdge(top, Bus{}, true);
    FilterCoefficients fast = filterCoefficients(1e-6);
    FilterCoefficients slow = filterCoefficients(10.0);
    store(U_WORD, static_cast<uint32_t>(encodeFilterInput(0.8).raw));
    store(KU_WORD, fast.Ku);
    store(KY_WORD, fast.Ky);
    for (int i = 0; i < 400 * clocksPerSample; ++i)
        readY();
    int32_t settled = readY();
    EXPECT_GT(settled, encodeFilterInput(0.79).raw);
    store(KU_WORD, slow.Ku);
    int32_t lowest = settled;
    for (int i = 0; i < 1000 * clocksPerSample; ++i) // the Ky store far behind
        lowest = std::min(lowest, readY());
    store(KY_WORD, slow.Ky);
    for (int i = 0; i < 1000 * clocksPerSample; ++i)
        lowest = std::min(lowest, readY());
    EXPECT_GE(lowest, settled - 1);
}

// The bus, step by step: a row is one clock edge and what follows it.
TYPED_TEST(LpfSystem, BusTransactions)
{
    struct Edge {
        const char *what;
        bool reset;
        Bus bus;
        uint32_t readdata; // after the edge
        uint32_t led;
    };
    const Edge edges[] = {
        {"reset", true, {LED_WORD, true, 0xFFFFFFFF, 0xF, true}, 0, 0},
        {"LED store shows on the lamps after the edge", false, {LED_WORD, true, 0xA5, 0xF, false}, 0, 0xA5},
        {"read and store of one word: the old value", false, {LED_WORD, true, 0x5A, 0xF, true}, 0xA5, 0x5A},
        {"read data is the word at the read's edge", false, {LED_WORD, false, 0, 0, true}, 0x5A, 0x5A},
        {"a store writes only its enabled lanes", false, {LED_WORD, true, 0x11223344, 0x6, false}, 0x5A, 0x0022335A},
        {"no lane enabled, nothing stored", false, {LED_WORD, true, 0xFFFFFFFF, 0x0, false}, 0x5A, 0x0022335A},
        {"read data holds without a read", false, {U_WORD, true, 0xDEADBEEF, 0xF, false}, 0x5A, 0x0022335A},
        {"u reads back", false, {U_WORD, false, 0, 0, true}, 0xDEADBEEF, 0x0022335A},
        {"y ignores stores", false, {Y_WORD, true, 0x12345678, 0xF, false}, 0xDEADBEEF, 0x0022335A},
        {"y is still 0 (no pair stored yet)", false, {Y_WORD, false, 0, 0, true}, 0, 0x0022335A},
        {"unknown word ignores a store", false, {20, true, 0x77, 0xF, false}, 0, 0x0022335A},
        {"unknown word reads 0", false, {20, false, 0, 0, true}, 0, 0x0022335A},
        {"highest word reads 0", false, {31, false, 0, 0, true}, 0, 0x0022335A},
        {"a held Ku", false, {KU_WORD, true, 0x01020304, 0xF, false}, 0, 0x0022335A},
        {"reads back as stored", false, {KU_WORD, true, 0xFFFFFFFF, 0x8, true}, 0x01020304, 0x0022335A},
        {"with its lanes", false, {KU_WORD, false, 0, 0, true}, 0xFF020304, 0x0022335A},
        {"Ky store of one lane", false, {KY_WORD, true, 0xFFFFFFFF, 0x1, true}, 0, 0x0022335A},
        {"Ky after the store", false, {KY_WORD, false, 0, 0, true}, 0xFF, 0x0022335A},
        {"reset clears every register", true, {}, 0, 0},
        {"u after reset", false, {U_WORD, false, 0, 0, true}, 0, 0},
        {"Ku after reset", false, {KU_WORD, false, 0, 0, true}, 0, 0},
        {"Ky after reset", false, {KY_WORD, false, 0, 0, true}, 0, 0},
    };
    typename TypeParam::Top top;
    for (const Edge &edge : edges) {
        clockEdge(top, edge.bus, edge.reset);
        EXPECT_EQ(top.readdata, edge.readdata) << edge.what;
        EXPECT_EQ(top.led, edge.led) << edge.what;
    }
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    Verilated::commandArgs(argc, argv); // +verilator+rand+reset+2 +verilator+seed+N
    return RUN_ALL_TESTS();
}
