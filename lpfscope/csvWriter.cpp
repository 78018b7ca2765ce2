#include "csvWriter.h"
#include "filterEncoding.h"
#include "writeAll.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

constexpr size_t BUFFER_SIZE = 65536;
constexpr size_t ROW_MAX = 160;

static char buffer[BUFFER_SIZE];
static size_t buffered = 0;

bool csvFlush()
{
    if (!writeAll(STDOUT_FILENO, buffer, buffered))
        return false;
    buffered = 0;
    return true;
}

static bool append(const char *row, size_t length)
{
    if (buffered + length > BUFFER_SIZE && !csvFlush())
        return false;
    for (size_t i = 0; i < length; ++i)
        buffer[buffered + i] = row[i];
    buffered += length;
    return true;
}

bool csvHeader()
{
    static const char header[] = "time_s,led,u,ku,ky,y,u_pu,y_pu\n";
    return append(header, sizeof header - 1);
}

bool csvRow(int64_t microseconds, const RegisterSample &sample)
{
    char row[ROW_MAX];
    // The sign is printed apart: -0.5 s is -500000 us, and -500000 / 10^6 is 0.
    long long magnitude = llabs(static_cast<long long>(microseconds));
    int length = snprintf(row, sizeof row, "%s%lld.%06lld,%u,%d,%u,%u,%d,%.6f,%.6f\n", microseconds < 0 ? "-" : "",
                          magnitude / 1000000, magnitude % 1000000, sample.led, sample.u, sample.Ku, sample.Ky,
                          sample.y, perUnit(sample.u), perUnit(sample.y));
    return length > 0 && static_cast<size_t>(length) < sizeof row && append(row, static_cast<size_t>(length));
}
