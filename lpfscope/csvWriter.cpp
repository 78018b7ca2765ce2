#include "csvWriter.h"
#include "clock.h"
#include "filterEncoding.h"
#include "writeAll.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

constexpr size_t BUFFER_SIZE = 65536;

// The microsecond a time falls in, rounded down, so that a sample taken
// before the change never shows as at it.
static int64_t microsecondOf(int64_t nanoseconds)
{
    return nanoseconds >= 0 ? nanoseconds / NS_PER_MICROSECOND
                            : -((-nanoseconds + NS_PER_MICROSECOND - 1) / NS_PER_MICROSECOND);
}

size_t formatCsvRow(char *text, size_t size, int64_t nanoseconds, bool nanosecondDigits, const RegisterSample &sample)
{
    // The sign is printed apart: -0.5 s is -500000 us, and -500000 / 10^6 is 0.
    int64_t time = nanosecondDigits ? nanoseconds : microsecondOf(nanoseconds);
    uint64_t perSecond = nanosecondDigits ? NS_PER_SECOND : NS_PER_SECOND / NS_PER_MICROSECOND;
    uint64_t magnitude = time < 0 ? 0 - static_cast<uint64_t>(time) : static_cast<uint64_t>(time);
    int length = snprintf(text, size, "%s%llu.%0*llu,%u,%d,%u,%u,%d,%.6f,%.6f\n", time < 0 ? "-" : "",
                          static_cast<unsigned long long>(magnitude / perSecond), nanosecondDigits ? 9 : 6,
                          static_cast<unsigned long long>(magnitude % perSecond), sample.led, sample.u, sample.Ku,
                          sample.Ky, sample.y, perUnit(sample.u), perUnit(sample.y));
    return length > 0 && static_cast<size_t>(length) < size ? static_cast<size_t>(length) : 0;
}

size_t wholeRowsLength(const char *text, size_t written)
{
    size_t whole = written;
    while (whole > 0 && text[whole - 1] != '\n')
        --whole;
    return whole;
}

off_t cutBackEnd(bool regular, off_t size, off_t end, size_t partial)
{
    if (partial == 0 || !regular || end < 0 || size != end)
        return -1;
    return end - static_cast<off_t>(partial);
}

CsvWriter::CsvWriter(int descriptor) : descriptor(descriptor), buffer(BUFFER_SIZE) {}

void CsvWriter::cutBackToWholeRow(size_t written)
{
    int error = errno; // the write's, for the caller's message
    size_t partial = written - wholeRowsLength(buffer.data(), written);
    struct stat status {};
    off_t end = partial == 0 ? -1 : lseek(descriptor, 0, SEEK_CUR); // a pipe cannot seek
    if (end >= 0 && fstat(descriptor, &status) == 0) {
        off_t cut = cutBackEnd(S_ISREG(status.st_mode), status.st_size, end, partial);
        if (cut >= 0 && ftruncate(descriptor, cut) == 0)
            lseek(descriptor, cut, SEEK_SET);
    }
    errno = error;
}

bool CsvWriter::flush()
{
    size_t written = 0;
    bool whole = writeAll(descriptor, buffer.data(), buffered, &written);
    for (size_t i = 0; i < written; ++i)
        linesOut += buffer[i] == '\n' ? 1 : 0;
    if (!whole)
        cutBackToWholeRow(written);
    buffered = 0;
    return whole;
}

bool CsvWriter::append(const char *text, size_t length)
{
    if (buffered + length > buffer.size() && !flush())
        return false;
    memcpy(buffer.data() + buffered, text, length);
    buffered += length;
    return true;
}

bool CsvWriter::header()
{
    static const char header[] = "time_s,led,u,ku,ky,y,u_pu,y_pu\n";
    return append(header, sizeof header - 1);
}

bool CsvWriter::row(int64_t nanoseconds, const RegisterSample &sample)
{
    char text[CSV_ROW_MAX];
    int64_t microsecond = microsecondOf(nanoseconds);
    bool nanosecondDigits = anyRow && microsecond == lastMicrosecond;
    anyRow = true;
    lastMicrosecond = microsecond;
    size_t length = formatCsvRow(text, sizeof text, nanoseconds, nanosecondDigits, sample);
    return length > 0 && append(text, length);
}
