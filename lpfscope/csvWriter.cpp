#include "csvWriter.h"
#include "filterEncoding.h"
#include "writeAll.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

constexpr size_t BUFFER_SIZE = 65536;
constexpr size_t ROW_MAX = 160;

static char buffer[BUFFER_SIZE];
static size_t buffered = 0;
static uint64_t linesOut = 0; // whole lines that reached the output, the header too

// The output failed after `written` bytes of the buffer, which starts at a
// row: a regular file that ends in them, and nothing after, loses the part
// of a row they end in.
static void cutBackToWholeRow(size_t written)
{
    int error = errno; // the write's, for the caller's message
    size_t whole = written;
    while (whole > 0 && buffer[whole - 1] != '\n')
        --whole;
    struct stat status {};
    off_t end = whole == written ? -1 : lseek(STDOUT_FILENO, 0, SEEK_CUR); // a pipe cannot seek
    if (end >= 0 && fstat(STDOUT_FILENO, &status) == 0 && S_ISREG(status.st_mode) && status.st_size == end &&
        ftruncate(STDOUT_FILENO, end - static_cast<off_t>(written - whole)) == 0)
        lseek(STDOUT_FILENO, end - static_cast<off_t>(written - whole), SEEK_SET);
    errno = error;
}

bool csvFlush()
{
    size_t written = 0;
    bool whole = writeAll(STDOUT_FILENO, buffer, buffered, &written);
    for (size_t i = 0; i < written; ++i)
        linesOut += buffer[i] == '\n' ? 1 : 0;
    if (!whole)
        cutBackToWholeRow(written);
    buffered = 0;
    return whole;
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

uint64_t csvRowsWritten()
{
    return linesOut > 0 ? linesOut - 1 : 0;
}
