// lpfscope: samples the LED and LPf filter registers at a steady rate,
// read-only, and shows them live on a terminal or records them as CSV; it
// names the core it sees and checks the rate the core samples at.
#include "coreCheck.h"
#include "exitStatus.h"
#include "liveView.h"
#include "memoryDevice.h"
#include "memoryWindow.h"
#include "options.h"
#include "program.h"
#include "registerSet.h"
#include "sampler.h"
#include "say.h"
#include "stopSignals.h"
#include "terminal.h"
#include "writer.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <pthread.h>
#include <thread>
#include <unistd.h>

// Opens the device (or the window file) read-only and maps the window
// read-only: a store cannot happen even by mistake. Prints one line on
// standard error on failure.
static bool openReadOnly(RegisterWindow &window, const ScopeOptions &options, const char *path)
{
    WindowStatus status = options.window != nullptr ? mapWindowFile(window, path, WindowAccess::ReadOnly)
                                                    : mapMemoryWindow(window, WindowAccess::ReadOnly);
    if (status.fault == WindowFault::Open) {
        say(PROGRAM, status.refusal != nullptr ? status.refusal : strerror(status.error), "cannot open %s", path);
        return false;
    }
    if (status.fault == WindowFault::Map) {
        say(PROGRAM, strerror(status.error), "cannot map %s at 0x%08X", path,
            options.window != nullptr ? 0u : ALT_STM_OFST);
        return false;
    }
    return true;
}

// The sampler's thread leaves the signals of the user and the terminal to
// the writer, which can act on them; faults stay with the thread that makes
// them.
static std::thread startSampler(Sampling &sampling)
{
    sigset_t signals;
    sigset_t before;
    sigemptyset(&signals);
    addStopSignals(signals);
    for (int signal : {SIGTSTP, SIGCONT, SIGWINCH})
        sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, &before);
    std::thread sampler(runSampler, std::ref(sampling));
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return sampler;
}

int main(int argc, char **argv)
{
    ScopeOptions options{};
    if (!parseOptions(argc, argv, options))
        return EXIT_STATUS_USAGE;
    if (options.help) {
        printUsage();
        return EXIT_STATUS_OK;
    }
    if (options.version) {
        printf("%s %s\n", PROGRAM, LPF_VERSION);
        return EXIT_STATUS_OK;
    }

    const char *path = options.window != nullptr ? options.window : memoryDevicePath();
    RegisterWindow window{};
    if (!openReadOnly(window, options, path))
        return EXIT_STATUS_FAILURE;
    // A stand-in or a window file goes away when its board is powered off.
    bool watched = options.window != nullptr || MEMORY_DEVICE_IS_STAND_IN;
    installStopHandlers();
    Sampling sampling(windowRegisters(window), options);
    // The clock word means something only in an LPf core. Whatever answers,
    // sampling goes on: the view and the end say what it is.
    sampling.core.word = *sampling.registers.identity;
    if (isLpfCore(sampling.core.word))
        sampling.core.clockHz = *sampling.registers.clockHz;

    // A program in the background leaves the terminal alone.
    bool view = !options.csv && terminalInForeground();
    if (view) {
        char title[160];
        snprintf(title, sizeof title, "%s: %s, %u sample%s/s", PROGRAM, path, options.rate,
                 options.rate == 1 ? "" : "s");
        viewOpen(title);
    }
    std::thread sampler = startSampler(sampling);
    WriterResult result = runWriter(sampling, view, BoardWatch{watched ? path : nullptr, window.descriptor});
    sampler.join();
    if (view)
        viewClose();

    int status = EXIT_STATUS_OK;
    if (result.boardGone) {
        say(PROGRAM, nullptr, "the board was powered off: %s is gone", path);
        status = EXIT_STATUS_FAILURE;
    } else if (result.outputFailed) {
        say(PROGRAM, strerror(result.outputError), "cannot write the output");
        status = EXIT_STATUS_FAILURE;
    }
    if (int refused = sampling.realTimeRefused.load(); refused != 0)
        say(PROGRAM, strerror(refused), "sampled at normal priority: real-time priority was refused");
    RateCheck rate = checkRate(sampling.core, result.meter);
    say(PROGRAM, nullptr, "%s", identityText(sampling.core).c_str());
    say(PROGRAM, nullptr, "%s", rateText(sampling.core, rate).c_str());
    if (rate.verdict == RateVerdict::Off)
        say(PROGRAM, nullptr, "%s", rateWarning(sampling.core, rate).c_str());
    say(PROGRAM, nullptr, "samples taken: %llu, late: %llu, missed: %llu; rows written: %llu, dropped: %llu",
        static_cast<unsigned long long>(sampling.taken.load()), static_cast<unsigned long long>(sampling.late.load()),
        static_cast<unsigned long long>(sampling.missed.load()), static_cast<unsigned long long>(result.written),
        static_cast<unsigned long long>(sampling.dropped.load()));
    unmapMemoryWindow(window);
    close(window.descriptor);
    return status;
}
