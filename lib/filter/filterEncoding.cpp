#include "filterEncoding.h"

#include <cmath>

constexpr auto READBACK_DIVISOR = static_cast<float>(COEFFICIENT_ONE);

uint32_t saturateToUint32(double x)
{
    if (!(x >= 1.0)) // below 1, or NaN
        return 0;
    if (x >= 4294967296.0)
        return UINT32_MAX;
    return static_cast<uint32_t>(x);
}

int32_t saturateToInt32(double x)
{
    if (std::isnan(x))
        return 0;
    if (x >= 2147483648.0)
        return INT32_MAX;
    if (x <= -2147483649.0)
        return INT32_MIN;
    return static_cast<int32_t>(x);
}

FilterCoefficients filterCoefficients(double tau)
{
    FilterCoefficients coefficients{0, 0};
    if (tau > 0) {
        double pole = std::exp(-LPF_TS / tau);
        coefficients.Ku = saturateToUint32((0.5 - pole * 0.5) * COEFFICIENT_SCALE + 1.0);
        coefficients.Ky = saturateToUint32(pole * COEFFICIENT_SCALE);
    }
    return coefficients;
}

FilterInput encodeFilterInput(double v)
{
    if (v > 1.0)
        v = 1.0;
    else if (v < -1.0)
        v = -1.0;
    return FilterInput{v, saturateToInt32(v * INPUT_SCALE)};
}

double decodeCoefficient(uint32_t k)
{
    return static_cast<double>(static_cast<float>(k) / READBACK_DIVISOR);
}

double decodeFilterOutput(int32_t y)
{
    return static_cast<double>(static_cast<float>(y) / READBACK_DIVISOR) * 0.5;
}

double perUnit(int32_t value)
{
    return value / INPUT_SCALE;
}

double timeConstantOfPole(uint32_t Ky)
{
    return -LPF_TS / std::log(Ky / COEFFICIENT_ONE);
}
