// lpfboard: makes a stand-in or window file behave like the board: the LPf filter
// runs at one sample per LPF_TS in real time, and the live view that
// lpfscope shows follows the registers on a terminal.
#include "boardFile.h"
#include "clock.h"
#include "coefficientPairing.h"
#include "exitStatus.h"
#include "filterEncoding.h"
#include "filterModel.h"
#include "liveView.h"
#include "memoryDevice.h"
#include "pairLook.h"
#include "physicalMemoryFile.h"
#include "program.h"
#include "refusedOption.h"
#include "registerSet.h"
#include "standardStreams.h"
#include "stopSignals.h"
#include "terminal.h"
#include "usageError.h"

#include <csignal>
#include <cstdio>
#include <getopt.h>
#include <unistd.h>

constexpr int64_t UPDATE_PERIOD_NS = NS_PER_MILLISECOND; // the model catches up every millisecond

static void printUsage(FILE *to)
{
    fprintf(to, "Usage: lpfboard [--device FILE | --window FILE]\n"
                "Simulates the board's LED port and LPf filter core on a stand-in file for\n"
                "physical memory (default %s).\n"
                "%s powers it off and removes the file.\n"
                "--window serves a window file instead: the %lld MiB from physical 0x%08X alone,\n"
                "as the guest of a virtual board maps it (scripts/virtual-board).\n"
                "On a terminal it shows the live view of the registers that lpfscope shows.\n",
                memoryDevicePath(), stopSignalNames(), static_cast<long long>(WINDOW_FILE_SIZE >> 20), ALT_STM_OFST);
}

// The usage follows a refusal, on lines of its own.
constexpr Usage USAGE{PROGRAM, ""};

struct BoardOptions {
    const char *path;
    BoardKind kind;
    bool help;
};

static bool parseOptions(int argc, char **argv, BoardOptions &options)
{
    static const option longOptions[] = {
        {"device", required_argument, nullptr, 'd'},
        {"window", required_argument, nullptr, 'w'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    options = BoardOptions{memoryDevicePath(), BoardKind::StandIn, false};
    bool named = false;
    opterr = 0; // our own messages
    int option = 0;
    while ((option = getopt_long(argc, argv, ":d:w:h", longOptions, nullptr)) != -1) {
        switch (option) {
        case 'd':
        case 'w':
            if (named)
                return usageError(USAGE, "one file only, not", optarg);
            named = true;
            options.path = optarg;
            options.kind = option == 'w' ? BoardKind::WindowFile : BoardKind::StandIn;
            break;
        case 'h': options.help = true; break;
        default: return refuseOption(USAGE, option, argv, "missing file after");
        }
    }
    if (optind < argc)
        return usageError(USAGE, "unexpected argument", argv[optind]);
    return true;
}

// Updates that came more than a period after they were due, and the
// longest wait past the due time: a slow machine rather than a wrong model.
struct HoldUps {
    uint64_t late;
    int64_t longest; // nanoseconds
};

static const char *holdUpText(const HoldUps &holdUps)
{
    static char text[96];
    snprintf(text, sizeof text, "%llu update%s late, the longest by %.1f ms",
             static_cast<unsigned long long>(holdUps.late), holdUps.late == 1 ? "" : "s",
             static_cast<double>(holdUps.longest) / NS_PER_MILLISECOND);
    return text;
}

static HoldUps serve(const BoardFile &board, bool showView)
{
    HoldUps holdUps{0, 0};
    const RegisterSet &registers = board.registers;
    int64_t start = monotonicNanoseconds();
    int64_t nextUpdate = start;
    int64_t nextDraw = start;
    uint64_t samplesDone = 0;
    int64_t state = 0;
    PairWatch pairs{{0, 0}, {0, 0}, start}; // the registers start at 0
    for (;;) {
        // A hold-up that ends in a stop request counts too.
        int64_t now = monotonicNanoseconds();
        int64_t behind = now - nextUpdate;
        holdUps.late += behind > UPDATE_PERIOD_NS ? 1 : 0;
        holdUps.longest = behind > holdUps.longest ? behind : holdUps.longest;
        if (stopRequested != 0)
            break;
        auto samplesDue = static_cast<uint64_t>((now - start) / LPF_TS_NS);
        CoefficientPair seen = lookAtPair(registers);
        watchPair(pairs, seen.Ku, seen.Ky, now);
        FilterInputs inputs{static_cast<int32_t>(*registers.u), pairs.applied.Ku, pairs.applied.Ky};
        state = filterAdvance(state, inputs, samplesDue - samplesDone);
        *registers.y = static_cast<uint32_t>(filterOutput(state));
        *registers.sampleCount = static_cast<uint32_t>(samplesDue); // wraps at 2^32, as the core's
        *registers.status = pairHeld(pairs) ? LPF_STATUS_PAIR_HELD : 0u;
        samplesDone = samplesDue;

        if (showView) {
            viewRecord(now, loadRegisters(registers));
            if (now >= nextDraw) {
                static char status[160];
                snprintf(status, sizeof status, "Held up: %s.  Ctrl-C powers the board off.", holdUpText(holdUps));
                viewDraw(status);
                nextDraw = now + VIEW_DRAW_PERIOD_NS;
            }
        }
        nextUpdate += UPDATE_PERIOD_NS;
        if (nextUpdate < now)
            nextUpdate = now; // we were held up: catch up, do not race
        sleepUntil(nextUpdate);
    }
    return holdUps;
}

int main(int argc, char **argv)
{
    // A closed standard stream must not become the file it serves.
    if (!guardStandardStreams())
        return EXIT_STATUS_FAILURE;
    BoardOptions options{};
    if (!parseOptions(argc, argv, options)) {
        printUsage(stderr);
        return EXIT_STATUS_USAGE;
    }
    if (options.help) {
        printUsage(stdout);
        return EXIT_STATUS_OK;
    }

    BoardFile board{};
    if (!powerOn(board, options.path, options.kind))
        return EXIT_STATUS_FAILURE;
    installStopHandlers();
    signal(SIGPIPE, SIG_IGN);

    // In the background of a terminal it runs as off a terminal: the view
    // would draw over the shell, and Ctrl-C would not reach it.
    bool showView = terminalInForeground();
    if (showView) {
        char title[256]; // the view keeps a copy
        snprintf(title, sizeof title, "%s: serving %s", PROGRAM, options.path);
        viewOpen(title);
    } else {
        // The line scripts wait for before they use the board (virtualboard/,
        // scripts/try-console): its words stay as they are.
        printf("%s: powered on %s\n", PROGRAM, options.path);
        fflush(stdout);
    }

    HoldUps holdUps = serve(board, showView);

    if (showView)
        viewClose();
    powerOff(board);
    if (!showView)
        printf("%s: powered off %s; %s\n", PROGRAM, options.path, holdUpText(holdUps));
    return EXIT_STATUS_OK;
}
