// lpfboard: makes the stand-in file behave like the board: the LPf filter
// runs at one sample per LPF_TS in real time, and the live view that
// lpfscope shows follows the registers on a terminal.
#include "boardFile.h"
#include "filterEncoding.h"
#include "filterModel.h"
#include "memoryDevice.h"
#include "liveView.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

constexpr int64_t NANOSECONDS_PER_SAMPLE = 100; // LPF_TS
constexpr int64_t UPDATE_PERIOD_NS = 1000000;   // the model catches up every millisecond
constexpr int64_t DRAW_PERIOD_NS = 50000000;    // the view, twenty times a second
constexpr int EXIT_USAGE = 2;

static_assert(LPF_TS == NANOSECONDS_PER_SAMPLE / 1e9, "the model's clock must match the filter's");

static volatile sig_atomic_t stopRequested = 0;

static void requestStop(int /*signal*/)
{
    stopRequested = 1;
}

static void printUsage(FILE *to)
{
    fprintf(to, "Usage: lpfboard [--device FILE]\n"
                "Simulates the board's LED port and LPf filter core on a stand-in file for\n"
                "physical memory (default %s), until SIGINT or SIGTERM, which removes the file.\n"
                "On a terminal it shows the live view of the registers that lpfscope shows.\n",
                memoryDevicePath());
}

static int64_t monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

static void sleepUntil(int64_t nanoseconds)
{
    timespec until{static_cast<time_t>(nanoseconds / 1000000000), static_cast<long>(nanoseconds % 1000000000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

static void installStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

static RegisterSample boardRegisters(const BoardFile &board)
{
    RegisterSample sample{};
    sample.led = *board.led;
    sample.u = static_cast<int32_t>(*board.u);
    sample.Ku = *board.Ku;
    sample.Ky = *board.Ky;
    sample.y = static_cast<int32_t>(*board.y);
    return sample;
}

static void serve(BoardFile &board, bool showView)
{
    int64_t start = monotonicNanoseconds();
    int64_t nextUpdate = start;
    int64_t nextDraw = start;
    uint64_t samplesDone = 0;
    int32_t y = 0;
    while (stopRequested == 0) {
        int64_t now = monotonicNanoseconds();
        auto samplesDue = static_cast<uint64_t>((now - start) / NANOSECONDS_PER_SAMPLE);
        FilterInputs inputs{static_cast<int32_t>(*board.u), *board.Ku, *board.Ky};
        y = filterAdvance(y, inputs, samplesDue - samplesDone);
        *board.y = static_cast<uint32_t>(y);
        samplesDone = samplesDue;

        if (showView) {
            viewRecord(now, boardRegisters(board));
            if (now >= nextDraw) {
                viewDraw();
                nextDraw = now + DRAW_PERIOD_NS;
            }
        }
        nextUpdate += UPDATE_PERIOD_NS;
        if (nextUpdate < now)
            nextUpdate = now; // we were held up: catch up, do not race
        sleepUntil(nextUpdate);
    }
}

int main(int argc, char **argv)
{
    // A closed standard stream must not become the stand-in.
    if (!guardStandardStreams())
        return 1;
    const char *path = memoryDevicePath();
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0) {
            printUsage(stdout);
            return 0;
        }
        if (strcmp(argv[i], "--device") == 0 && i + 1 < argc) {
            path = argv[++i];
            continue;
        }
        fprintf(stderr, "lpfboard: %s '%s'\n", strcmp(argv[i], "--device") == 0 ? "missing file after" : "unknown option",
                argv[i]);
        printUsage(stderr);
        return EXIT_USAGE;
    }

    BoardFile board{};
    if (!powerOn(board, path))
        return 1;
    installStopHandlers();

    bool showView = isatty(STDOUT_FILENO) != 0;
    if (showView) {
        static char title[256]; // the view keeps it
        snprintf(title, sizeof title, "lpfboard: serving %s", path);
        viewOpen(title, "Ctrl-C powers the board off.");
    } else {
        printf("lpfboard: powered on %s\n", path);
        fflush(stdout);
    }

    serve(board, showView);

    if (showView)
        viewClose();
    powerOff(board);
    if (!showView)
        printf("lpfboard: powered off %s\n", path);
    return 0;
}
