// What lpfscope makes of the words that say what the core is: the design it
// names, and whether the core samples at the rate it was built for, measured
// from its sample counter. No clock, no registers: the caller gives the
// words it loaded and when.
#pragma once

#include "clock.h"

#include <cstdint>
#include <string>

struct CoreIdentity {
    uint32_t word;    // the identity word as loaded
    uint32_t clockHz; // the CLOCK_HZ word (loaded only from an LPf core)
};

bool isLpfCore(uint32_t identity);

// "LPf core version 1, built for 50.000 MHz", or, for any other word,
// "no LPf core answers at 0xFF200000 (its identity word reads 0x...)".
std::string identityText(const CoreIdentity &core);

// Samples a second, from the one home of the sampling period: 10 MHz.
double expectedSampleRate();

// A gap between two samples longer than this is left out of the
// measurement (a program stopped for minutes): in it the counter may have
// wrapped, even running four times as fast as it should.
constexpr int64_t MAX_COUNTED_GAP_NS = 100 * NS_PER_SECOND;
// Below this span the counter's steps (lpfboard's come once a millisecond)
// weigh too much.
constexpr int64_t MIN_MEASURED_SECONDS = 1;
constexpr int64_t MIN_MEASURED_NS = MIN_MEASURED_SECONDS * NS_PER_SECOND;
// Off by more than this share, the core's clock is not the one it was built for.
constexpr double RATE_TOLERANCE = 0.01;

// The counter's increments over the recording, taken modulo 2^32 between
// consecutive samples, and the time they span.
class SampleRateMeter {
public:
    void add(int64_t takenNs, uint32_t count);
    bool measured() const { return elapsed >= MIN_MEASURED_NS; }
    double rate() const; // counts a second; 0 before two samples

private:
    bool any = false;
    int64_t lastTaken = 0;
    uint32_t lastCount = 0;
    uint64_t counts = 0;
    int64_t elapsed = 0;
};

// Stopped: the counter did not move over a measured span (no clock, or
// held in reset), where a factor would mean nothing.
enum class RateVerdict { NotMeasured, Right, Off, Stopped };

struct RateCheck {
    RateVerdict verdict;
    double rate;   // measured, samples a second
    double factor; // rate / expected
};

RateCheck checkRate(const CoreIdentity &core, const SampleRateMeter &meter);

// "sample rate 10.000 MHz (expected 10.000 MHz)", or why it is not measured.
std::string rateText(const CoreIdentity &core, const RateCheck &check);

// The warning for a rate that is off; empty otherwise.
std::string rateWarning(const CoreIdentity &core, const RateCheck &check);

// The live view's line: the identity, the rate, and the warning in short.
std::string coreViewLine(const CoreIdentity &core, const RateCheck &check);
