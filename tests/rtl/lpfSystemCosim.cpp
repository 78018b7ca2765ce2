// Co-simulation of the Verilog design (verilated at 50 and 100 MHz) with
// lpfboard's filter model: random bus traffic at random cycles, and after
// every clock edge the design's read data and LEDs must equal what the
// reference (lpfSystemReference.h, the slave's contract built on filterStep)
// gives. So the same run checks read-back, byte lanes, read-only y, unknown
// words, the held Ku, pairs committed by the top lane of Ky, the read
// latency of one clock and reset. Run with +verilator+rand+reset+2
// +verilator+seed+N, every register starts at random values; with
// --waveforms=DIR, each test writes DIR/SUITE.TEST.fst (DIR made if need
// be). Then the core's pair against lpfboard's (watchPair) on store
// sequences at real times, and the words that say what the core is.
#include "Vlpf_system_100MHz.h"
#include "Vlpf_system_50MHz.h"
#include "Vlpf_system_50MHz___024root.h"
#include "Vlpf_system_100MHz___024root.h"
#include "coefficientPairing.h"
#include "filterEncoding.h"
#include "filterModel.h"
#include "lpfSystemClock.h"
#include "lpfSystemReference.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr uint64_t SAMPLES = 500000;

const char *waveformDirectory = nullptr; // --waveforms=DIR

// The current test's waveform, if waveforms were asked for; `part` names
// one of several.
template <typename Model> std::unique_ptr<Waveform> testWaveform(Model &top, int mhz, const char *part = nullptr)
{
    if (waveformDirectory == nullptr)
        return nullptr;
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    if (part != nullptr)
        name += std::string(".") + part;
    std::replace(name.begin(), name.end(), '/', '_');
    std::string path = std::string(waveformDirectory) + "/" + name + ".fst";
    std::unique_ptr<Waveform> waveform = openWaveform(top, mhz, path);
    if (!waveform)
        ADD_FAILURE() << "cannot write the waveform " << path;
    return waveform;
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
// come Ku first or Ky first and tens to thousands of samples apart; now and
// then a Ky stored in ascending bytes or halfwords, hundreds of samples
// apart; and anything at all, to any word.
struct Traffic {
    std::mt19937_64 rng;
    int divider;
    uint32_t kyInParts;
    std::vector<unsigned> parts; // the lanes still to store, last first
    uint64_t partDue;            // cycles until the next part

    Bus next()
    {
        static const unsigned registers[] = {U_WORD, KU_WORD, KY_WORD};
        static const std::vector<unsigned> bytes = {0x8, 0x4, 0x2, 0x1};
        static const std::vector<unsigned> halves = {0xC, 0x3};
        Bus bus{Y_WORD, false, 0, ALL_LANES, true}; // by default, watch y every cycle
        if (!parts.empty() && partDue-- == 0) {
            bus = Bus{KY_WORD, true, kyInParts, parts.back(), (rng() & 1) != 0};
            parts.pop_back();
            partDue = rng() % (300 * static_cast<uint64_t>(divider));
            return bus;
        }
        uint64_t roll = rng() % 1000;
        if (roll < 4) {
            bus.address = registers[rng() % 3];
            bus.write = true;
            bus.writedata = interestingValue(rng, bus.address);
            bus.byteenable = rng() % 4 == 0 ? static_cast<unsigned>(rng() % 16) : ALL_LANES;
        } else if (roll < 40) {
            bus.address = static_cast<unsigned>(rng() % 32);
            bus.write = (rng() & 1) != 0;
            bus.writedata = static_cast<uint32_t>(rng());
            bus.byteenable = static_cast<unsigned>(rng() % 16);
            bus.read = (rng() & 1) != 0;
        } else if (roll == 40 && parts.empty() && rng() % 8 == 0) {
            kyInParts = interestingValue(rng, KY_WORD);
            parts = rng() % 2 == 0 ? bytes : halves;
            partDue = 0;
        }
        return bus;
    }
};

template <typename Model, int Divider> struct Clocked {
    using Top = Model;
    static constexpr int DIVIDER = Divider;
};

template <typename T> class LpfSystem : public ::testing::Test {};
using Clocks = ::testing::Types<Clocked<Vlpf_system_50MHz, 5>, Clocked<Vlpf_system_100MHz, 10>>;
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
    std::unique_ptr<Waveform> waveform = testWaveform(top, TypeParam::DIVIDER * 10);
    Reference ref = resetReference(TypeParam::DIVIDER);
    Coverage coverage{};
    Traffic traffic{std::mt19937_64(20261208 + TypeParam::DIVIDER), TypeParam::DIVIDER, 0, {}, 0};
    clockEdge(top, Bus{}, true, waveform.get());

    uint64_t cycle = 0;
    while (coverage.samples < SAMPLES) {
        bool reset = traffic.rng() % 200000 == 0;
        Bus bus = traffic.next();
        clockEdge(top, bus, reset, waveform.get());
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
    EXPECT_GT(coverage.heldKySamples, 10000u);
    EXPECT_GT(coverage.piecewiseCommits, 20u);
    std::printf("%llu samples in %llu cycles: %llu at +max, %llu at -max, %llu stores in a sampling clock, "
                "%llu resets, %llu samples with a Ku held, %llu pairs, %llu Ky stores alone, %llu partial stores, "
                "%llu samples with part of a Ky held, %llu pairs completed by parts\n",
                static_cast<unsigned long long>(coverage.samples), static_cast<unsigned long long>(cycle),
                static_cast<unsigned long long>(coverage.saturatedHigh),
                static_cast<unsigned long long>(coverage.saturatedLow),
                static_cast<unsigned long long>(coverage.writesAtSample),
                static_cast<unsigned long long>(coverage.resets),
                static_cast<unsigned long long>(coverage.heldKuSamples),
                static_cast<unsigned long long>(coverage.pairsCommitted),
                static_cast<unsigned long long>(coverage.kyAlone),
                static_cast<unsigned long long>(coverage.partialStores),
                static_cast<unsigned long long>(coverage.heldKySamples),
                static_cast<unsigned long long>(coverage.piecewiseCommits));
}

// Going from a fast to a slow filter at a steady input, with Ku stored
// first and Ky far behind it, as a whole word or in ascending parts: the
// filter keeps the fast pair until the top lane of Ky comes, so y never
// dips. A part that reached the filter early (a slow Ku with the fast Ky)
// would drop y towards 0.
TYPED_TEST(LpfSystem, SlowerFilterKeepsTheOutput)
{
    struct Order {
        const char *what;
        const char *part; // of the waveform's name
        std::vector<unsigned> lanes;
    };
    const Order orders[] = {
        {"Ky as a whole word", "word", {0xF}},
        {"Ky by halfwords", "halfwords", {0x3, 0xC}},
        {"Ky by bytes", "bytes", {0x1, 0x2, 0x4, 0x8}},
    };
    for (const Order &order : orders) {
        typename TypeParam::Top top;
        std::unique_ptr<Waveform> waveform = testWaveform(top, TypeParam::DIVIDER * 10, order.part);
        const int clocksPerSample = TypeParam::DIVIDER;
        auto store = [&](unsigned word, uint32_t value, unsigned lanes) {
            clockEdge(top, Bus{word, true, value, lanes, false}, false, waveform.get());
        };
        auto readY = [&]() {
            clockEdge(top, Bus{Y_WORD, false, 0, ALL_LANES, true}, false, waveform.get());
            return static_cast<int32_t>(top.readdata);
        };
        clockEdge(top, Bus{}, true, waveform.get());
        FilterCoefficients fast = filterCoefficients(1e-6);
        FilterCoefficients slow = filterCoefficients(10.0);
        store(U_WORD, static_cast<uint32_t>(encodeFilterInput(0.8).raw), ALL_LANES);
        store(KU_WORD, fast.Ku, ALL_LANES);
        store(KY_WORD, fast.Ky, ALL_LANES);
        for (int i = 0; i < 400 * clocksPerSample; ++i)
            readY();
        int32_t settled = readY();
        EXPECT_GT(settled, encodeFilterInput(0.79).raw) << order.what;
        store(KU_WORD, slow.Ku, ALL_LANES);
        int32_t lowest = settled;
        for (unsigned lanes : order.lanes) {
            for (int i = 0; i < 1000 * clocksPerSample; ++i) // each part far behind the one before
                lowest = std::min(lowest, readY());
            store(KY_WORD, slow.Ky, lanes);
        }
        for (int i = 0; i < 1000 * clocksPerSample; ++i)
            lowest = std::min(lowest, readY());
        EXPECT_GE(lowest, settled - 1) << order.what;
    }
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
    std::unique_ptr<Waveform> waveform = testWaveform(top, TypeParam::DIVIDER * 10);
    for (const Edge &edge : edges) {
        clockEdge(top, edge.bus, edge.reset, waveform.get());
        EXPECT_EQ(top.readdata, edge.readdata) << edge.what;
        EXPECT_EQ(top.led, edge.led) << edge.what;
    }
}

namespace {

// One store of a pair sequence, at `atUs` microseconds from the start.
struct PairStore {
    int64_t atUs;
    unsigned word;
    uint32_t value;
    unsigned lanes;
};

struct PairSequence {
    const char *what;
    std::vector<PairStore> stores;
    bool lookTells; // every store changes what a look sees, one look apart
};

constexpr uint32_t OLD_KU = 0x11111111, OLD_KY = 0x22222222, NEW_KU = 0x33333333, NEW_KY = 0x44444444;
constexpr int64_t LOOK_US = 1000;     // lpfboard looks once a millisecond
constexpr int64_t HOLD_US = 100000;   // LPF_PAIR_HOLD_SAMPLES at 10 samples a microsecond
static_assert(LPF_PAIR_HOLD_SAMPLES == HOLD_US * 10, "the hold is 100 ms");

std::vector<PairStore> kyInBytes(int64_t atUs, int64_t apartUs, const std::vector<unsigned> &lanes)
{
    std::vector<PairStore> stores;
    for (unsigned lane : lanes) {
        stores.push_back(PairStore{atUs, KY_WORD, NEW_KY, lane});
        atUs += apartUs;
    }
    return stores;
}

// The sequences, from a pair (OLD_KU, OLD_KY) in use on both; stores fall
// between looks.
std::vector<PairSequence> pairSequences()
{
    const std::vector<unsigned> descending = {0x8, 0x4, 0x2, 0x1};
    const std::vector<unsigned> ascending = {0x1, 0x2, 0x4, 0x8};
    return {
        {"Ku then Ky", {{10300, KU_WORD, NEW_KU, ALL_LANES}, {15300, KY_WORD, NEW_KY, ALL_LANES}}, true},
        {"Ky then Ku", {{10300, KY_WORD, NEW_KY, ALL_LANES}, {15300, KU_WORD, NEW_KU, ALL_LANES}}, true},
        {"Ku alone", {{10300, KU_WORD, NEW_KU, ALL_LANES}}, true},
        {"Ky alone", {{10300, KY_WORD, NEW_KY, ALL_LANES}}, true},
        {"Ky by ascending bytes in one look", kyInBytes(10300, 100, ascending), true},
        {"Ky by descending bytes in one look", kyInBytes(10300, 100, descending), false},
        {"Ky by ascending bytes, looks apart", kyInBytes(10300, 2000, ascending), false},
        {"Ky by descending bytes, looks apart", kyInBytes(10300, 2000, descending), false},
        {"Ky then Ku in one look", {{10300, KY_WORD, NEW_KY, ALL_LANES}, {10400, KU_WORD, NEW_KU, ALL_LANES}}, false},
        {"Ku, then Ky stored with its old value",
         {{10300, KU_WORD, NEW_KU, ALL_LANES}, {15300, KY_WORD, OLD_KY, ALL_LANES}}, false},
    };
}

template <typename Model> CoefficientPair corePair(Model &top)
{
    return CoefficientPair{top.rootp->lpf_system__DOT__ku_pair, top.rootp->lpf_system__DOT__ky_pair};
}

bool operator==(const CoefficientPair &a, const CoefficientPair &b)
{
    return a.Ku == b.Ku && a.Ky == b.Ky;
}

template <typename T> class LpfSystemPairs : public ::testing::Test {};
using PairClocks = ::testing::Types<Clocked<Vlpf_system_50MHz, 5>, Clocked<Vlpf_system_100MHz, 10>>;
TYPED_TEST_SUITE(LpfSystemPairs, PairClocks, ClockName);

} // namespace

// The core and lpfboard's pair logic on the same stores: the core through
// its bus, lpfboard looking at Ky and Ku through the same bus once a
// millisecond. Where a look can tell each store, they run the same pair at
// every look; where it cannot, they differ at most until one look past the
// hold after the last store. Both run the last Ku and Ky stored from the
// hold after the last store on (lpfboard one look later), and the status
// bit says held wherever the core's pair is not the registers'. The looks
// also read the sample count: 10 a microsecond, exactly.
TYPED_TEST(LpfSystemPairs, AgreesWithLpfboard)
{
    const int64_t clocksPerUs = TypeParam::DIVIDER * 10;
    for (const PairSequence &sequence : pairSequences()) {
        typename TypeParam::Top top;
        auto read = [&](unsigned word) {
            clockEdge(top, Bus{word, false, 0, 0, true}, false);
            clockEdge(top, Bus{}, false);
            return top.readdata;
        };
        clockEdge(top, Bus{}, true);
        EXPECT_EQ(read(IDENTITY_WORD), LPF_IDENTITY);
        EXPECT_EQ(read(CLOCK_HZ_WORD), static_cast<uint32_t>(clocksPerUs * 1000000));
        clockEdge(top, Bus{KU_WORD, true, OLD_KU, ALL_LANES, false}, false);
        clockEdge(top, Bus{KY_WORD, true, OLD_KY, ALL_LANES, false}, false);
        PairWatch watch{{OLD_KU, OLD_KY}, {OLD_KU, OLD_KY}, 0};
        CoefficientPair last{OLD_KU, OLD_KY};
        for (const PairStore &store : sequence.stores) {
            Bus bus{store.word, true, store.value, store.lanes, false};
            (store.word == KU_WORD ? last.Ku : last.Ky) = stored(store.word == KU_WORD ? last.Ku : last.Ky, bus);
        }
        const int64_t lastStoreUs = sequence.stores.back().atUs;
        const int64_t endUs = lastStoreUs + HOLD_US + 3 * LOOK_US;

        int64_t clock = 0; // from here, 0 at the first look
        size_t next = 0;
        uint32_t firstCount = 0;
        int differingLooks = 0;
        for (int64_t look = 0; look * LOOK_US <= endUs; ++look) {
            const int64_t lookClock = look * LOOK_US * clocksPerUs;
            while (clock < lookClock) {
                Bus bus{};
                if (next < sequence.stores.size() && sequence.stores[next].atUs * clocksPerUs == clock) {
                    const PairStore &store = sequence.stores[next++];
                    bus = Bus{store.word, true, store.value, store.lanes, false};
                }
                clockEdge(top, bus, false);
                ++clock;
            }
            const int64_t nowUs = look * LOOK_US;
            CoefficientPair core = corePair(top);
            uint32_t ky = read(KY_WORD); // Ky before Ku, as lpfboard loads them
            uint32_t ku = read(KU_WORD);
            uint32_t status = read(STATUS_WORD);
            uint32_t count = read(SAMPLE_COUNT_WORD);
            clock += 8;
            watchPair(watch, ku, ky, nowUs * 1000);
            std::string where = std::string(sequence.what) + ", look at " + std::to_string(nowUs / 1000) + " ms";
            if (look == 0)
                firstCount = count;
            EXPECT_EQ(count - firstCount, static_cast<uint32_t>(nowUs * 10)) << where;
            if (!(core == CoefficientPair{ku, ky})) {
                EXPECT_EQ(status, LPF_STATUS_PAIR_HELD) << where;
            }
            if (!(core == watch.applied)) {
                ++differingLooks;
                EXPECT_FALSE(sequence.lookTells) << where;
                EXPECT_LE(nowUs, lastStoreUs + HOLD_US + LOOK_US) << where;
            }
            if (nowUs >= lastStoreUs + HOLD_US) {
                EXPECT_TRUE(core == last) << where;
                EXPECT_EQ(status, 0u) << where;
            }
            if (nowUs >= lastStoreUs + HOLD_US + LOOK_US) {
                EXPECT_TRUE(watch.applied == last) << where;
            }
        }
        std::printf("%s: differing at %d looks\n", sequence.what, differingLooks);
    }
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    static const char WAVEFORMS[] = "--waveforms=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], WAVEFORMS, sizeof WAVEFORMS - 1) == 0) {
            waveformDirectory = argv[i] + sizeof WAVEFORMS - 1;
            Verilated::traceEverOn(true);
            std::error_code error;
            std::filesystem::create_directories(waveformDirectory, error);
            if (error) {
                fprintf(stderr, "lpfSystemCosim: cannot make %s: %s\n", waveformDirectory, error.message().c_str());
                return 1;
            }
        }
    }
    Verilated::commandArgs(argc, argv); // +verilator+rand+reset+2 +verilator+seed+N
    return RUN_ALL_TESTS();
}
