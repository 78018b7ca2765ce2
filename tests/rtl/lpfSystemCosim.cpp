// Co-simulation of the Verilog design (verilated) with lpfboard's filter
// model: random bus traffic at random cycles, and after every clock edge the
// design's read data and LEDs must equal what a reference built on
// filterStep gives. The reference keeps the registers as the bus defines
// them, so the same run checks read-back, read-only y, unknown words, the
// one-cycle read latency and reset.
#include "Vlpf_system.h"
#include "filterEncoding.h"
#include "filterModel.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>

namespace {

constexpr int DIVIDER = 5; // the design's default clock, 50 MHz, over 10 MHz
constexpr unsigned LED_WORD = 0, U_WORD = 4, KU_WORD = 8, KY_WORD = 12, Y_WORD = 16;
constexpr uint64_t SAMPLES = 4000000;

struct Bus {
    unsigned address;
    bool write;
    uint32_t writedata;
    bool read;
};

struct Reference {
    uint32_t led, u, ku, ky;
    int64_t state;
    int phase;
    uint32_t readdata;
};

struct Coverage {
    uint64_t samples, saturatedHigh, saturatedLow, writesAtSample, resets;
};

uint32_t wordOf(const Reference &ref, unsigned address)
{
    switch (address) {
    case LED_WORD: return ref.led;
    case U_WORD: return ref.u;
    case KU_WORD: return ref.ku;
    case KY_WORD: return ref.ky;
    case Y_WORD: return static_cast<uint32_t>(filterOutput(ref.state));
    default: return 0;
    }
}

// What one rising edge does, from the values held before it.
void referenceEdge(Reference &ref, const Bus &bus, bool reset, Coverage &coverage)
{
    if (reset) {
        ref = Reference{};
        ++coverage.resets;
        return;
    }
    uint32_t before = wordOf(ref, bus.address);
    if (ref.phase == DIVIDER - 1) {
        ref.state = filterStep(ref.state, FilterInputs{static_cast<int32_t>(ref.u), ref.ku, ref.ky});
        ref.phase = 0;
        ++coverage.samples;
        coverage.saturatedHigh += ref.state == INT64_MAX ? 1 : 0;
        coverage.saturatedLow += ref.state == INT64_MIN ? 1 : 0;
        coverage.writesAtSample += bus.write ? 1 : 0;
    } else {
        ++ref.phase;
    }
    if (bus.write) {
        switch (bus.address) {
        case LED_WORD: ref.led = bus.writedata; break;
        case U_WORD: ref.u = bus.writedata; break;
        case KU_WORD: ref.ku = bus.writedata; break;
        case KY_WORD: ref.ky = bus.writedata; break;
        default: break;
        }
    }
    if (bus.read)
        ref.readdata = before;
}

void clockEdge(Vlpf_system &top, const Bus &bus, bool reset)
{
    top.reset = reset ? 1 : 0;
    top.address = bus.address;
    top.write = bus.write ? 1 : 0;
    top.writedata = bus.writedata;
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

Bus randomBus(std::mt19937_64 &rng)
{
    static const unsigned registers[] = {U_WORD, KU_WORD, KY_WORD};
    Bus bus{Y_WORD, false, 0, true}; // by default, watch y every cycle
    uint64_t roll = rng() % 1000;
    if (roll < 4) { // a filter register, now and then
        bus.address = registers[rng() % 3];
        bus.write = true;
        bus.writedata = interestingValue(rng, bus.address);
    } else if (roll < 40) { // anything at all, any word
        bus.address = static_cast<unsigned>(rng() % 32);
        bus.write = (rng() & 1) != 0;
        bus.writedata = static_cast<uint32_t>(rng());
        bus.read = (rng() & 1) != 0;
    }
    return bus;
}

} // namespace

TEST(LpfSystem, EqualsTheModelUnderRandomBusTraffic)
{
    Vlpf_system top;
    Reference ref{};
    Coverage coverage{};
    std::mt19937_64 rng(20261208);
    clockEdge(top, Bus{}, true);
    ref = Reference{};

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
    std::printf("%llu samples in %llu cycles: %llu at +max, %llu at -max, %llu writes in a sampling cycle, "
                "%llu resets\n",
                static_cast<unsigned long long>(coverage.samples), static_cast<unsigned long long>(cycle),
                static_cast<unsigned long long>(coverage.saturatedHigh),
                static_cast<unsigned long long>(coverage.saturatedLow),
                static_cast<unsigned long long>(coverage.writesAtSample),
                static_cast<unsigned long long>(coverage.resets));
}

// The bus, step by step: a row is one clock edge and what follows it.
TEST(LpfSystem, BusTransactions)
{
    struct Edge {
        const char *what;
        bool reset;
        Bus bus;
        uint32_t readdata; // after the edge
        uint32_t led;
    };
    const Edge edges[] = {
        {"reset", true, {LED_WORD, true, 0xFFFFFFFF, true}, 0, 0},
        {"LED write shows on the lamps after the edge", false, {LED_WORD, true, 0xA5, false}, 0, 0xA5},
        {"read and write of one word: the old value", false, {LED_WORD, true, 0x5A, true}, 0xA5, 0x5A},
        {"read data is the word at the read's edge", false, {LED_WORD, false, 0, true}, 0x5A, 0x5A},
        {"read data holds without a read", false, {U_WORD, true, 0xDEADBEEF, false}, 0x5A, 0x5A},
        {"u reads back", false, {U_WORD, false, 0, true}, 0xDEADBEEF, 0x5A},
        {"y ignores writes", false, {Y_WORD, true, 0x12345678, false}, 0xDEADBEEF, 0x5A},
        {"y is still 0 (Ku and Ky are 0)", false, {Y_WORD, false, 0, true}, 0, 0x5A},
        {"unknown word ignores a write", false, {20, true, 0x77, false}, 0, 0x5A},
        {"unknown word reads 0", false, {20, false, 0, true}, 0, 0x5A},
        {"highest word reads 0", false, {31, false, 0, true}, 0, 0x5A},
        {"Ky reads back", false, {KY_WORD, true, 0xFFFFFFFF, true}, 0, 0x5A},
        {"Ky after the write", false, {KY_WORD, false, 0, true}, 0xFFFFFFFF, 0x5A},
        {"reset clears every register", true, {}, 0, 0},
        {"u after reset", false, {U_WORD, false, 0, true}, 0, 0},
        {"Ky after reset", false, {KY_WORD, false, 0, true}, 0, 0},
    };
    Vlpf_system top;
    for (const Edge &edge : edges) {
        clockEdge(top, edge.bus, edge.reset);
        EXPECT_EQ(top.readdata, edge.readdata) << edge.what;
        EXPECT_EQ(top.led, edge.led) << edge.what;
    }
}
