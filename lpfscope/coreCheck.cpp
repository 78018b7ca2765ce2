#include "coreCheck.h"
#include "filterEncoding.h"
#include "hwregs.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char *pattern, ...)
{
    char text[256];
    va_list arguments;
    va_start(arguments, pattern);
    vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

double megahertz(double hz)
{
    return hz / 1e6;
}

} // namespace

bool isLpfCore(uint32_t identity)
{
    return (identity & LPF_IDENTITY_NAME_MASK) == LPF_IDENTITY_NAME;
}

std::string identityText(const CoreIdentity &core)
{
    if (!isLpfCore(core.word))
        return format("no LPf core answers at 0x%08X (its identity word reads 0x%08X)", ALT_LWFPGASLVS_OFST,
                      core.word);
    uint32_t version = core.word & ~LPF_IDENTITY_NAME_MASK;
    std::string known =
        version == LPF_IDENTITY_VERSION ? "" : format(" (lpfscope knows version %u)", LPF_IDENTITY_VERSION);
    return format("LPf core version %u%s, built for %.3f MHz", version, known.c_str(), megahertz(core.clockHz));
}

double expectedSampleRate()
{
    return static_cast<double>(NS_PER_SECOND) / LPF_TS_NS;
}

void SampleRateMeter::add(int64_t takenNs, uint32_t count)
{
    int64_t gap = takenNs - lastTaken;
    if (any && gap > 0 && gap <= MAX_COUNTED_GAP_NS) {
        counts += static_cast<uint32_t>(count - lastCount); // modulo 2^32
        elapsed += gap;
    }
    any = true;
    lastTaken = takenNs;
    lastCount = count;
}

double SampleRateMeter::rate() const
{
    return elapsed > 0
               ? static_cast<double>(counts) * static_cast<double>(NS_PER_SECOND) / static_cast<double>(elapsed)
               : 0.0;
}

RateCheck checkRate(const CoreIdentity &core, const SampleRateMeter &meter)
{
    if (!isLpfCore(core.word) || !meter.measured())
        return RateCheck{RateVerdict::NotMeasured, 0.0, 0.0};
    if (meter.rate() == 0.0)
        return RateCheck{RateVerdict::Stopped, 0.0, 0.0};
    double factor = meter.rate() / expectedSampleRate();
    bool off = std::fabs(factor - 1.0) > RATE_TOLERANCE;
    return RateCheck{off ? RateVerdict::Off : RateVerdict::Right, meter.rate(), factor};
}

std::string rateText(const CoreIdentity &core, const RateCheck &check)
{
    if (!isLpfCore(core.word))
        return "sample rate not measured: no LPf core";
    if (check.verdict == RateVerdict::NotMeasured)
        return "sample rate not measured: the recording spans less than 1 s";
    if (check.verdict == RateVerdict::Stopped)
        return "sample rate 0: the core's sample counter does not move (no clock, or held in reset)";
    return format("sample rate %.3f MHz (expected %.3f MHz)", megahertz(check.rate),
                  megahertz(expectedSampleRate()));
}

std::string rateWarning(const CoreIdentity &core, const RateCheck &check)
{
    if (check.verdict != RateVerdict::Off)
        return "";
    return format("warning: the core's CLOCK_HZ (%.3f MHz) does not match the clock it is given: it samples %.3f "
                  "times as fast as it was built for, so every time constant is off by a factor of %.3f",
                  megahertz(core.clockHz), check.factor, 1.0 / check.factor);
}

std::string coreViewLine(const CoreIdentity &core, const RateCheck &check)
{
    // Short enough for an 80-column terminal, warning and all.
    if (!isLpfCore(core.word))
        return identityText(core);
    uint32_t version = core.word & ~LPF_IDENTITY_NAME_MASK;
    std::string line = format("LPf core version %u, %.3f MHz, ", version, megahertz(core.clockHz));
    switch (check.verdict) {
    case RateVerdict::NotMeasured:
        return line + "sample rate not measured yet";
    case RateVerdict::Stopped:
        return line + "sample counter stopped";
    case RateVerdict::Off:
        return line + format("%.3f MHz samples: CLOCK_HZ off, tau x%.3f", megahertz(check.rate), 1.0 / check.factor);
    case RateVerdict::Right:
        break;
    }
    return line + format("%.3f MHz samples", megahertz(check.rate));
}
