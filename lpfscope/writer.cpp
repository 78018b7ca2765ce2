#include "writer.h"
#include "clock.h"
#include "csvWriter.h"
#include "recording.h"
#include "liveView.h"
#include "memoryDevice.h"
#include "stopSignals.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <unistd.h>

namespace {

constexpr int SAMPLES_PER_LOOK = 4096;
constexpr int64_t FLUSH_PERIOD_NS = 100000000;
constexpr int64_t WATCH_PERIOD_NS = 250000000; // the board's file, 4 times a second
constexpr int64_t BOARD_GONE_SHOWN_NS = 500000000;
constexpr char BOARD_GONE_STATUS[] = "The board was powered off.";

struct Writer {
    Sampling &sampling;
    bool view;
    Recording recording;
    CsvWriter csv{STDOUT_FILENO};
    WriterResult result{0, false, 0, false, {}};
};

void fail(Writer &writer)
{
    if (!writer.result.outputFailed) {
        writer.result.outputFailed = true;
        writer.result.outputError = errno;
    }
}

void record(Writer &writer, const TimedSample &sample)
{
    Sampling &sampling = writer.sampling;
    writer.result.meter.add(sample.taken, sample.sampleCount);
    if (writer.view) {
        viewRecord(sample.taken, sample.registers);
        return;
    }
    writer.recording.take(sample, sampling.zero.load(std::memory_order_relaxed),
                          sampling.zeroTime.load(std::memory_order_relaxed), [&writer](const Row &row) {
                              if (writer.result.outputFailed || !writer.csv.row(row.nanoseconds, row.registers))
                                  fail(writer);
                          });
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
    Writer writer{sampling, view, Recording(historyLength(sampling.options))};
    if (!view && !writer.csv.header())
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
        for (int taken = 0; taken < SAMPLES_PER_LOOK && sampling.ring.take(sample); ++taken) {
            record(writer, sample);
            any = true;
        }
        now = monotonicNanoseconds();
        if (now >= nextWatch) {
            writer.result.boardGone |= board.path != nullptr && !pathNames(board.path, board.descriptor);
            nextWatch = now + WATCH_PERIOD_NS;
        }
        if (view && now >= nextDraw) {
            std::string core = coreViewLine(sampling.core, checkRate(sampling.core, writer.result.meter));
            if (!viewDraw(writer.result.boardGone ? BOARD_GONE_STATUS : viewStatus(sampling),
                          core.c_str()))
                fail(writer);
            nextDraw = now + VIEW_DRAW_PERIOD_NS;
        }
        if (!view && now >= nextFlush) {
            if (!writer.result.outputFailed && !writer.csv.flush())
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
    if (!view && !writer.result.outputFailed && !writer.csv.flush())
        fail(writer);
    writer.result.written = view ? 0 : writer.csv.rowsWritten();
    if (view && writer.result.boardGone && stopRequested == 0) {
        std::string core = coreViewLine(sampling.core, checkRate(sampling.core, writer.result.meter));
        viewDraw(BOARD_GONE_STATUS, core.c_str());
        sleepUntil(monotonicNanoseconds() + BOARD_GONE_SHOWN_NS);
    }
    return writer.result;
}
