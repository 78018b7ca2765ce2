// Writes what the Icarus testbench (tests/rtl/lpf_system_tb.v) needs of
// the model: a run of samples from its step (filterStep), per sample u, Ku,
// Ky and the y after it, as hex rows of 128 bits for $readmemh, and their
// count as a Verilog header. (The word indices come from lpfmap.)
// Usage: lpfBenchVectors COUNT.vh VECTORS.hex
#include "filterModel.h"

#include <cstdint>
#include <cstdio>
#include <random>

namespace {

const int SAMPLES = 3000;

bool writeCount(const char *path)
{
    FILE *file = std::fopen(path, "w");
    if (file == nullptr)
        return false;
    std::fprintf(file, "localparam integer SAMPLES = %d;\n", SAMPLES);
    return std::fclose(file) == 0;
}

// Values at the ends of each range as often as in between, so that both
// saturations and the coefficients' extremes come up.
uint32_t pick(std::mt19937 &rng, const uint32_t (&ends)[4])
{
    return rng() % 2 == 0 ? ends[rng() % 4] : static_cast<uint32_t>(rng());
}

bool writeVectors(const char *path)
{
    FILE *file = std::fopen(path, "w");
    if (file == nullptr)
        return false;
    std::mt19937 rng(33);
    const uint32_t U_ENDS[4] = {0x7FFFFFFFu, 0x80000000u, 0u, 1u};
    const uint32_t K_ENDS[4] = {0u, 1u, 0xFFFFFFFFu, 0x80000000u};
    FilterInputs in{0, 0, 0};
    int64_t s = 0;
    int left = 0;
    for (int n = 0; n < SAMPLES; ++n) {
        if (left-- == 0) { // a new segment: new inputs held for a while
            in = FilterInputs{static_cast<int32_t>(pick(rng, U_ENDS)), pick(rng, K_ENDS), pick(rng, K_ENDS)};
            left = static_cast<int>(rng() % 60);
        }
        s = filterStep(s, in);
        std::fprintf(file, "%08X%08X%08X%08X\n", static_cast<uint32_t>(in.u), in.Ku, in.Ky,
                     static_cast<uint32_t>(filterOutput(s)));
    }
    return std::fclose(file) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "Usage: lpfBenchVectors COUNT.vh VECTORS.hex\n");
        return 2;
    }
    if (!writeCount(argv[1]) || !writeVectors(argv[2])) {
        std::perror("lpfBenchVectors");
        return 1;
    }
    return 0;
}
