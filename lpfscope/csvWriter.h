// CSV rows of register samples on a descriptor, written whole: a row is
// complete in the buffer before any of it is written, the buffer is written
// with retries, and if the output fails part of the way through a row (a
// full disk), a regular file is cut back to its last whole row.
#pragma once

#include "registerSet.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

constexpr size_t CSV_ROW_MAX = 160;

// One row, newline and all, into `text`: the time in seconds, with six
// decimals (rounded down) or with `nanosecondDigits` nine, then the
// registers. Its length, or 0 if it does not fit.
size_t formatCsvRow(char *text, size_t size, int64_t nanoseconds, bool nanosecondDigits, const RegisterSample &sample);

// The bytes of whole rows among the first `written` of `text`, which starts
// at a row.
size_t wholeRowsLength(const char *text, size_t written);

// Where a file whose write stopped `partial` bytes into a row is cut back
// to: `end` less `partial` if the output is a regular file that ends there
// (nothing was written after it); -1 to leave it as it is.
off_t cutBackEnd(bool regular, off_t size, off_t end, size_t partial);

class CsvWriter {
public:
    explicit CsvWriter(int descriptor);

    // False once the output is closed or failing (a reader that went away,
    // a full disk); errno tells why.
    bool header();
    // A row's time shows its nanoseconds when microseconds cannot tell it
    // from the row before.
    bool row(int64_t nanoseconds, const RegisterSample &sample);
    bool flush(); // writes out what is buffered

    // Rows that reached the output whole, so far: rows still in the
    // buffer, or lost with a failing output, do not count.
    uint64_t rowsWritten() const { return linesOut > 0 ? linesOut - 1 : 0; }

private:
    bool append(const char *text, size_t length);
    void cutBackToWholeRow(size_t written);

    int descriptor;
    std::vector<char> buffer;
    size_t buffered = 0;
    uint64_t linesOut = 0; // whole lines that reached the output, the header too
    bool anyRow = false;
    int64_t lastMicrosecond = 0;
};
