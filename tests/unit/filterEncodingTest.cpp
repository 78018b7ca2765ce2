// The filter value conversions, on this machine and on the board's processor.
#include "filterEncoding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
const double NOT_A_NUMBER = std::nan("");

std::string sixDecimals(double value)
{
    char text[64];
    snprintf(text, sizeof text, "%f", value);
    return text;
}

// --- saturating conversions ------------------------------------------------

struct Saturation {
    double x;
    uint32_t asUnsigned;
    int32_t asSigned;
};

const Saturation SATURATIONS[] = {
    {NOT_A_NUMBER, 0, 0},
    {-INF, 0, INT32_MIN},
    {INF, UINT32_MAX, INT32_MAX},
    {-1e300, 0, INT32_MIN},
    {1e300, UINT32_MAX, INT32_MAX},
    {-0.9, 0, 0},
    {0.9, 0, 0},
    {-1.5, 0, -1},
    {2.5, 2, 2},
    {2147483647.9, 2147483647u, INT32_MAX},
    {2147483648.0, 2147483648u, INT32_MAX},
    {-2147483648.9, 0, INT32_MIN},
    {-2147483649.0, 0, INT32_MIN},
    {4294967295.9, UINT32_MAX, INT32_MAX},
    {4294967296.0, UINT32_MAX, INT32_MAX},
};

TEST(Saturation, TruncatesTowardZeroAndClampsToTheRange)
{
    for (const Saturation &row : SATURATIONS) {
        SCOPED_TRACE(row.x);
        EXPECT_EQ(saturateToUint32(row.x), row.asUnsigned);
        EXPECT_EQ(saturateToInt32(row.x), row.asSigned);
    }
}

// --- filterCoefficients ----------------------------------------------------

struct Coefficients {
    double tau;
    uint32_t Ku;
    uint32_t Ky;
};

// Edge cases, then values from tests/unit/coefficient_reference.py.
const Coefficients COEFFICIENTS[] = {
    {0.0, 0, 0},
    {-0.0, 0, 0},
    {-5.0, 0, 0},
    {-INF, 0, 0},
    {NOT_A_NUMBER, 0, 0},
    {INF, 1, 0xFFFFFFFFu},
    {5e-324, 0x80000000u, 0},
    {1e-300, 0x80000000u, 0x00000000u},
    {1e-12, 0x80000000u, 0x00000000u},
    {1e-9, 0x80000000u, 0x00000000u},
    {3.3e-9, 0x80000000u, 0x00000000u},
    {1e-8, 0x7FFE8328u, 0x0002F9AFu},
    {4.7e-8, 0x70C0D0ACu, 0x1E7E5EA8u},
    {1e-7, 0x50E95394u, 0x5E2D58D8u},
    {2.5e-7, 0x2A32F3E7u, 0xAB9A1832u},
    {1e-6, 0x0C2E4999u, 0xE7A36CCDu},
    {3e-6, 0x04324349u, 0xF79B796Eu},
    {1e-5, 0x01460C0Cu, 0xFD73E7E8u},
    {1e-4, 0x0020C06Bu, 0xFFBE7F2Au},
    {1e-3, 0x000346D2u, 0xFFF9725Bu},
    {0.01, 0x000053E3u, 0xFFFF5839u},
    {0.1, 0x00000864u, 0xFFFFEF38u},
    {1, 0x000000D7u, 0xFFFFFE51u},
    {10, 0x00000016u, 0xFFFFFFD4u},
    {1000, 0x00000001u, 0xFFFFFFFEu},
    {1e6, 0x00000001u, 0xFFFFFFFEu},
};

TEST(FilterCoefficients, EdgeCasesAndReferenceValues)
{
    for (const Coefficients &row : COEFFICIENTS) {
        SCOPED_TRACE(row.tau);
        FilterCoefficients c = filterCoefficients(row.tau);
        EXPECT_EQ(c.Ku, row.Ku);
        EXPECT_EQ(c.Ky, row.Ky);
    }
}

// The double-precision result must be the truncation of the exact value,
// give or take one where the exact value lies within rounding of an integer.
void expectTruncationOf(long double exact, uint32_t actual)
{
    long double whole = std::floor(exact);
    long double fraction = exact - whole;
    if (fraction > 1e-4L && fraction < 1 - 1e-4L) {
        EXPECT_EQ(actual, static_cast<uint32_t>(whole)) << "exact " << static_cast<double>(exact);
    } else {
        EXPECT_LE(std::fabs(static_cast<long double>(actual) - std::round(exact)), 1.0L);
    }
}

TEST(FilterCoefficients, SweepAgreesWithLongDoubleFormula)
{
    for (double exponent = -9.0; exponent <= 4.0; exponent += 0.00731) {
        double tau = std::pow(10.0, exponent);
        SCOPED_TRACE(tau);
        long double pole = std::exp(-1e-7L / static_cast<long double>(tau));
        FilterCoefficients c = filterCoefficients(tau);
        expectTruncationOf(pole * 4294967295.0L, c.Ky);
        expectTruncationOf((0.5L - pole / 2) * 4294967295.0L + 1.0L, c.Ku);
        // Ranges that hold for every positive tau.
        EXPECT_GE(c.Ku, 1u);
        EXPECT_LE(c.Ku, 0x80000000u);
    }
}

// --- encodeFilterInput -----------------------------------------------------

struct Input {
    double v;
    double clamped;
    int32_t raw;
};

const Input INPUTS[] = {
    {0.5, 0.5, 1073741823},
    {-0.5, -0.5, -1073741823},
    {1.0, 1.0, 2147483647},
    {-1.0, -1.0, -2147483647},
    {2.0, 1.0, 2147483647},
    {-3.0, -1.0, -2147483647},
    {INF, 1.0, 2147483647},
    {-INF, -1.0, -2147483647},
    {0.0, 0.0, 0},
    {1e-10, 1e-10, 0},
    {-1e-10, -1e-10, 0},
    {1.0000000001, 1.0, 2147483647},
};

TEST(EncodeFilterInput, ClampsThenScales)
{
    for (const Input &row : INPUTS) {
        SCOPED_TRACE(row.v);
        FilterInput input = encodeFilterInput(row.v);
        EXPECT_EQ(input.value, row.clamped);
        EXPECT_EQ(input.raw, row.raw);
    }
}

TEST(EncodeFilterInput, NanPassesTheClampAndWritesZero)
{
    FilterInput input = encodeFilterInput(NOT_A_NUMBER);
    EXPECT_TRUE(std::isnan(input.value));
    EXPECT_EQ(input.raw, 0);
}

TEST(EncodeFilterInput, SweepAgreesWithLongDoubleProduct)
{
    for (int i = -20000; i <= 20000; ++i) {
        double v = i / 20000.0 * 1.001;
        SCOPED_TRACE(v);
        FilterInput input = encodeFilterInput(v);
        long double clamped = std::fmin(std::fmax(static_cast<long double>(v), -1.0L), 1.0L);
        long double exact = clamped * 2147483647.0L;
        EXPECT_EQ(input.value, static_cast<double>(clamped));
        EXPECT_LE(std::fabs(static_cast<long double>(input.raw) - std::trunc(exact)), 1.0L);
        if (std::fabs(exact - std::trunc(exact)) > 1e-4L) {
            EXPECT_EQ(input.raw, static_cast<int32_t>(std::trunc(exact)));
        }
        EXPECT_NE(input.raw, INT32_MIN);
    }
}

// --- decodeCoefficient and decodeFilterOutput ------------------------------

struct Coefficient {
    uint32_t k;
    double fraction;
    const char *shown;
};

const Coefficient DECODED_COEFFICIENTS[] = {
    {0, 0.0, "0.000000"},
    {1, 0x1p-32, "0.000000"},
    {0x80000000u, 0.5, "0.500000"},
    {0xFFFFFFFFu, 1.0, "1.000000"}, // rounds up to 2^32 in single precision
    {0x50E95394u, 10605223 * 0x1p-25, "0.316060"},
    {0x5E2D58D8u, 12343986 * 0x1p-25, "0.367879"},
    {0x01000001u, 0x1p-8, "0.003906"}, // 2^24 + 1 is not a single-precision value
};

TEST(DecodeCoefficient, SinglePrecisionFraction)
{
    for (const Coefficient &row : DECODED_COEFFICIENTS) {
        SCOPED_TRACE(row.k);
        EXPECT_EQ(decodeCoefficient(row.k), row.fraction);
        EXPECT_EQ(sixDecimals(decodeCoefficient(row.k)), row.shown);
    }
}

struct Output {
    int32_t y;
    double shown;
};

const Output DECODED_OUTPUTS[] = {
    {0, 0.0},
    {INT32_MAX, 0.25},
    {INT32_MIN, -0.25},
    {1073741823, 0.125},
    {-1, -0x1p-33},
    {0x01000001, 0x1p-9},
};

TEST(DecodeFilterOutput, HalfOfTheSinglePrecisionFraction)
{
    for (const Output &row : DECODED_OUTPUTS) {
        SCOPED_TRACE(row.y);
        EXPECT_EQ(decodeFilterOutput(row.y), row.shown);
    }
}

} // namespace
