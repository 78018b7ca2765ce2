#include "writer.h"
#include "clock.h"
#include "csvWriter.h"
#include "liveView.h"
#include "memoryDevice.h"
#include "stopSignals.h"

#include <algorithm>
#include <cerrno>

namespace {

constexpr int SAMPLES_PER_LOOK = 4096;
constexpr int64_t DRAW_PERIOD_NS = 50000000;  // the view, 20 times a second
constexpr int64_t FLUSH_PERIOD_NS = 100000000;
constexpr int64_t WATCH_PERIOD_NS = 250000000; // the board's file, 4 times a second
constexpr int64_t BOARD_GONE_SHOWN_NS = 500000000;
constexpr double DEFAULT_HISTORY_SECONDS = 1.0;

TimedSample history[MAX_HISTORY];
int64_t historyTimes[MAX_HISTORY];

struct Writer {
    Sampling &sampling;
    bool view;
    uint64_t keep;       // samples of history, by their numbers
    uint64_t kept = 0;   // samples of history held
    uint64_t oldest = 0; // where the oldest of them is
    bool recording = false;
    int64_t lastRow = -1; // microseconds of the last row written
    WriterResult result{0, false, 0, false};
};

uint64_t historyLength(const ScopeOptions &options)
{
    if (!options.trigger)
        return 0;
    double seconds = options.durationSeconds > 0.0 ? options.durationSeconds / 10.0 : DEFAULT_HISTORY_SECONDS;
    double samples = seconds * options.rate;
    return samples >= static_cast<double>(MAX_HISTORY) ? MAX_HISTORY : static_cast<uint64_t>(samples);
}

// Microseconds from time 0, rounded down, so that a sample taken before the
// change never shows as at it.
int64_t microsecondsFrom(int64_t zeroTime, int64_t taken)
{
    int64_t nanoseconds = taken - zeroTime;
    return nanoseconds >= 0 ? nanoseconds / 1000 : -((-nanoseconds + 999) / 1000);
}

void fail(Writer &writer)
{
    if (!writer.result.outputFailed) {
        writer.result.outputFailed = true;
        writer.result.outputError = errno;
    }
}

void row(Writer &writer, int64_t microseconds, const RegisterSample &registers)
{
    if (writer.result.outputFailed || !csvRow(microseconds, registers))
        fail(writer);
}

// A sample from before the change: the history keeps the newest `keep`.
void hold(Writer &writer, const TimedSample &sample)
{
    if (writer.keep == 0)
        return;
    history[(writer.oldest + writer.kept) % writer.keep] = sample;
    if (writer.kept < writer.keep)
        ++writer.kept;
    else
        writer.oldest = (writer.oldest + 1) % writer.keep;
}

// The change has come: the history rows, oldest first, at their true
// (negative) times; a pair of samples taken within one microsecond moves the
// older one back, so that times strictly increase up to the change at 0.
void writeHistory(Writer &writer, uint64_t zero, int64_t zeroTime)
{
    uint64_t first = 0;
    while (first < writer.kept && history[(writer.oldest + first) % writer.keep].number + writer.keep < zero)
        ++first; // older than the history reaches
    int64_t next = 0;
    for (uint64_t i = writer.kept; i > first; --i) {
        const TimedSample &sample = history[(writer.oldest + i - 1) % writer.keep];
        int64_t time = microsecondsFrom(zeroTime, sample.taken);
        next = time < next ? time : next - 1;
        historyTimes[i - 1] = next;
    }
    for (uint64_t i = first; i < writer.kept; ++i)
        row(writer, historyTimes[i], history[(writer.oldest + i) % writer.keep].registers);
    writer.lastRow = writer.kept > first ? historyTimes[writer.kept - 1] : -1;
    writer.kept = 0;
}

void record(Writer &writer, const TimedSample &sample)
{
    Sampling &sampling = writer.sampling;
    if (writer.view) {
        viewRecord(sample.taken, sample.registers);
        return;
    }
    uint64_t zero = sampling.zero.load(std::memory_order_relaxed);
    if (zero == NO_ZERO || sample.number < zero) {
        hold(writer, sample);
        return;
    }
    int64_t zeroTime = sampling.zeroTime.load(std::memory_order_relaxed);
    if (!writer.recording) {
        writer.recording = true;
        writeHistory(writer, zero, zeroTime);
    }
    int64_t time = microsecondsFrom(zeroTime, sample.taken);
    writer.lastRow = time > writer.lastRow ? time : writer.lastRow + 1;
    row(writer, writer.lastRow, sample.registers);
}

const char *viewStatus(const Sampling &sampling)
{
    if (sampling.options.trigger && sampling.zero.load(std::memory_order_relaxed) == NO_ZERO)
        return "Waiting for u or y to change.  Ctrl-C quits.";
    return "Ctrl-C quits.";
}

} // namespace

WriterResult runWriter(Sampling &sampling, bool view, const BoardWatch &board)
{
    Writer writer{sampling, view, historyLength(sampling.options)};
    if (!view && !csvHeader())
        fail(writer);
    int64_t now = monotonicNanoseconds();
    int64_t nextDraw = now;
    int64_t nextFlush = now + FLUSH_PERIOD_NS;
    int64_t nextWatch = now + WATCH_PERIOD_NS;
    for (;;) {
        bool finished = sampling.finished.load(std::memory_order_acquire);
        // A writer slower than the sampler finds the ring never empty: it
        // still looks up now and then, to draw, flush and stop.
        TimedSample sample{};
        bool any = false;
        for (int taken = 0; taken < SAMPLES_PER_LOOK && nextSample(sample); ++taken) {
            record(writer, sample);
            any = true;
        }
        now = monotonicNanoseconds();
        if (now >= nextWatch) {
            writer.result.boardGone |= board.path != nullptr && !pathNames(board.path, board.descriptor);
            nextWatch = now + WATCH_PERIOD_NS;
        }
        if (view && now >= nextDraw) {
            if (!viewDraw(writer.result.boardGone ? "The board was powered off." : viewStatus(sampling)))
                fail(writer);
            nextDraw = now + DRAW_PERIOD_NS;
        }
        if (!view && now >= nextFlush) {
            if (!writer.result.outputFailed && !csvFlush())
                fail(writer);
            nextFlush = now + FLUSH_PERIOD_NS;
        }
        if (stopRequested != 0 || writer.result.outputFailed || writer.result.boardGone)
            sampling.stop.store(true, std::memory_order_relaxed);
        if (finished && !any)
            break;
        // Nothing to do until the next draw, flush or look at the board, or
        // until the ring is a quarter full (65 ms at the top rate: 16 ms).
        if (!any) {
            int64_t wake = std::min(view ? nextDraw : nextFlush, nextWatch);
            wake = std::min(wake, now + static_cast<int64_t>(RING_SIZE / 4 * NS_PER_SECOND / sampling.options.rate));
            sleepUntil(wake);
        }
    }
    if (!view && !writer.result.outputFailed && !csvFlush())
        fail(writer);
    writer.result.written = view ? 0 : csvRowsWritten();
    if (view && writer.result.boardGone && stopRequested == 0) {
        viewDraw("The board was powered off.");
        sleepUntil(monotonicNanoseconds() + BOARD_GONE_SHOWN_NS);
    }
    return writer.result;
}
